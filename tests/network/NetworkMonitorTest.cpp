// The network monitor with a scripted reader and public-IP lookup: debounce, serial refreshes,
// the interface change test and the public-IP rules; and the snapshot it yields: its JSON form, and
// which interface addresses the system's reader keeps.
#include "NetworkHarness.h"
#include "network/NetworkContextJson.h"

#include <QTest>

#include <stdexcept>

using namespace nerova;

namespace {

constexpr std::chrono::milliseconds debounce{300};
using Interfaces = std::vector<NetworkInterface>;

class ScriptedReader final : public NetworkReader {
public:
    std::optional<Interfaces> interfaces;
    std::vector<NetworkAddress> addresses;
    mutable int refreshes = 0; // each refresh starts with one read of the interfaces
    std::optional<Interfaces> readInterfaces() const override
    {
        ++refreshes;
        return interfaces;
    }
    std::vector<NetworkAddress> readAllAddresses() const override { return addresses; }
};

// The lookup's answers, given in advance or, for a slow lookup, released one by one: an address,
// nothing (an empty text) or `lookupFails`.
const QString lookupFails = QStringLiteral("fails");
struct LookupScript {
    Channel<QString> answers;
    int started = 0, running = 0, mostAtOnce = 0;
};

QCoro::Task<std::optional<QString>> scriptedLookup(std::shared_ptr<LookupScript> script)
{
    ++script->started;
    script->mostAtOnce = std::max(script->mostAtOnce, ++script->running);
    const std::optional<QString> answer = co_await script->answers.receive();
    --script->running;
    if (*answer == lookupFails) {
        throw std::runtime_error("the lookup failed");
    }
    co_return answer->isEmpty() ? std::nullopt : answer;
}

// "eth0 wlp1/2": interfaces eth0 and wlp1; each entry's whole text stands for its hardware address.
Interfaces interfaces(const QString& names)
{
    Interfaces list;
    for (const QString& entry : names.split(u' ')) {
        list.push_back({entry.section(u'/', 0, 0), entry});
    }
    return list;
}

NetworkAddress ipv4(const char* name, const char* address) { return {AddressType::IPv4, name, address}; }

} // namespace

class NetworkMonitorTest : public QObject {
    Q_OBJECT

    std::unique_ptr<ScriptedReader> ownedReader_;
    ScriptedReader* reader_ = nullptr; // scripted before and after start()
    std::shared_ptr<LookupScript> lookup_;
    std::shared_ptr<std::vector<NetworkContext>> received_;
    std::unique_ptr<NetworkMonitor> monitor_;

    void start(bool withLookup = true)
    {
        NetworkMonitor::PublicIpLookup lookup;
        if (withLookup) {
            lookup = [script = lookup_] { return scriptedLookup(script); };
        }
        monitor_ = std::make_unique<NetworkMonitor>(std::move(ownedReader_), std::move(lookup), nullptr, debounce);
        test::collectContexts(*monitor_, received_);
    }

private slots:
    void init()
    {
        ownedReader_ = std::make_unique<ScriptedReader>();
        reader_ = ownedReader_.get();
        reader_->interfaces = interfaces("eth0 wlp1");
        reader_->addresses = {ipv4("eth0", "10.0.0.5")};
        lookup_ = std::make_shared<LookupScript>();
        received_ = std::make_shared<std::vector<NetworkContext>>();
    }

    void cleanup() { test::stopCollecting(monitor_); }

    // Construction alone yields one context, after the debounce; then a short burst of triggers
    // closer together than the debounce gives one refresh, after the last of them, and triggers that
    // keep coming give a refresh at least every two debounces. The interface list is replaced
    // only when it holds other interfaces, compared as sets; each step below starts from the list
    // the one before left ("none": the reader gives no list).
    void burstsAndInterfaceChanges()
    {
        start(false);
        QCOMPARE(reader_->refreshes, 0);
        test::settles(*received_, 1, debounce);
        for (int i = 0; i < 4; ++i) {
            monitor_->sendInterfaceChange();
            QTest::qWait(int(debounce.count() / 5));
        }
        QCOMPARE(reader_->refreshes, 1); // none during the burst
        test::settles(*received_, 2, debounce);
        for (int i = 0; i < 16; ++i) { // eight debounces of triggers: three refreshes at least
            monitor_->sendInterfaceChange();
            QTest::qWait(int(debounce.count() / 2));
        }
        QVERIFY2(reader_->refreshes >= 2 + 3, qPrintable(QString::number(reader_->refreshes)));
        QTRY_COMPARE(received_->size(), std::size_t(reader_->refreshes));

        const std::pair<const char*, const char*> steps[] = {
            {"wlp1 eth0 wlp1", "eth0 wlp1"},      // same, other order and repeated
            {"usb2 eth0 wlp1", "usb2 eth0 wlp1"}, // one added
            {"eth0 wlp1", "eth0 wlp1"},           // one gone
            {"eth0 wlp1/2", "eth0 wlp1/2"},       // same name, other hardware address
            {"none", "eth0 wlp1/2"}};
        for (const auto& [second, kept] : steps) {
            const std::size_t before = received_->size();
            reader_->interfaces = second == QLatin1String("none") ? std::nullopt : std::optional(interfaces(second));
            monitor_->sendInterfaceChange();
            QTRY_COMPARE(received_->size(), before + 1);
            QVERIFY2(received_->back().networkInterfaces == interfaces(kept), second);
        }
    }

    // Triggers while a slow lookup runs queue their refreshes behind it, run one at a time, each
    // reading the network when it runs. A failed lookup keeps the last address (absent before the
    // first success), and so does one that gives none; every refresh still yields.
    void refreshesQueueBehindASlowLookup()
    {
        start();
        QTRY_COMPARE(lookup_->started, 1);
        for (const char* address : {"10.0.0.6", "10.0.0.7", "10.0.0.8"}) {
            reader_->addresses = {ipv4("eth0", address)};
            monitor_->sendInterfaceChange();
            QTest::qWait(int(2 * debounce.count()));
        }
        QCOMPARE(lookup_->started, 1);
        QVERIFY(received_->empty());
        QTest::ignoreMessage(QtCriticalMsg, "Error fetching ipv4 address the lookup failed");
        QTest::ignoreMessage(QtCriticalMsg, "Error fetching ipv4 address the lookup failed");
        const QString found = QStringLiteral("198.51.100.7");
        const std::tuple<const char*, QString, std::optional<QString>> steps[] = {
            {"10.0.0.5", lookupFails, std::nullopt},
            {"10.0.0.8", found, found},
            {"10.0.0.8", lookupFails, found},
            {"10.0.0.8", QString(), found}};
        for (const auto& [address, answer, external] : steps) {
            const std::size_t before = received_->size();
            lookup_->answers.send(answer);
            QTRY_COMPARE(received_->size(), before + 1);
            QVERIFY(received_->back().internalAddresses == std::vector{ipv4("eth0", address)});
            QCOMPARE(received_->back().externalIPv4, external);
        }
        QCOMPARE(lookup_->mostAtOnce, 1);
    }

    void jsonDecoding()
    {
        const QByteArray evidence =
            R"("gateways":[{"name":"eth0","address":"10.1.2.1","hardwareAddress":"02:00:5e:10:00:09","tunnel":false},)"
            R"({"name":"wg0","address":null,"hardwareAddress":null,"tunnel":true}],)"
            R"("wirelessNetworks":[{"name":"wlan0","ssid":"Office\\xff","bssid":"02:00:5e:10:00:0a"}],)"
            R"("dnsDomains":["corp.example"],)"
            R"("peripherals":[{"kind":"usb","id":"usb:17ef:30b4:1S40AF","name":"Dock","uniqueSerial":true}])";
        const QByteArray noEvidence = R"("gateways":[],"wirelessNetworks":[],"dnsDomains":[],"peripherals":[])";
        const QByteArray start =
            R"({"externalIPv4":null,"internalAddresses":[],"externalIPv6":null,"networkInterfaces":[])";
        const struct {
            const char* name;
            QByteArray json;
            QString error; // the start of the error, or "same": decodes and encodes back to `encoded`, or to `json`
            QByteArray encoded = {};
        } rows[] = {
            {"complete",
             R"({"externalIPv4":"203.0.113.7","internalAddresses":[{"type":"IPv4","name":"eth0","address":"10.1.2.3",)"
             R"("prefixLength":24},{"type":"IPv6","name":"eth0","address":"2001:db8::5"}],"externalIPv6":null,)"
             R"("networkInterfaces":[{"name":"eth0","hardwareAddress":"02:00:5e:10:00:01"}],)" +
                 evidence + "}",
             "same"},
            {"saved before the evidence", start + "}", "same", start + "," + noEvidence + "}"},
            {"hardware addresses lower-cased",
             start +
                 R"(,"gateways":[{"name":"e","address":null,"hardwareAddress":"02:AB:5E:10:00:09","tunnel":false}]})",
             "same",
             start +
                 R"(,"gateways":[{"name":"e","address":null,"hardwareAddress":"02:ab:5e:10:00:09","tunnel":false}],)"
                 R"("wirelessNetworks":[],"dnsDomains":[],"peripherals":[]})"},
            {"addresses missing", R"({"networkInterfaces":[]})", "internalAddresses: required key is missing"},
            {"address type is case-sensitive",
             R"({"internalAddresses":[{"type":"ipv4","name":"e","address":"1"}],"networkInterfaces":[]})",
             "internalAddresses[0].type: \"ipv4\" is not an address type"},
            {"prefix too long",
             R"({"internalAddresses":[{"type":"IPv4","name":"e","address":"1","prefixLength":33}],"networkInterfaces":[]})",
             "internalAddresses[0].prefixLength: 33 is not a prefix length"},
            {"gateway entry without address",
             start + R"(,"gateways":[{"name":"e","hardwareAddress":null,"tunnel":true}]})",
             "gateways[0].address: required key is missing"},
            {"unknown peripheral kind",
             start + R"(,"peripherals":[{"kind":"hdmi","id":"x","name":"","uniqueSerial":false}]})",
             "peripherals[0].kind: \"hdmi\" is not a peripheral kind"},
            {"domain not text", start + R"(,"dnsDomains":[7]})", "dnsDomains[0]:"},
        };
        for (const auto& [name, json, error, encoded] : rows) {
            try {
                const NetworkContext context = decodeNetworkContext(json);
                const QByteArray expected = encoded.isEmpty() ? json : encoded;
                QVERIFY2(error == u"same", name);
                QCOMPARE(QByteArray::fromStdString(encodeNetworkContext(context).dump()), expected);
            } catch (const JsonDecodeError& raised) {
                QVERIFY2(raised.description().startsWith(error), qPrintable(raised.description()));
            }
        }
    }

    // Loopback and IPv6 link-local addresses are left out, by the start of their text; the rest
    // keeps its order.
    void addressFilter()
    {
        const struct {
            const char *name, *address;
            bool kept;
        } rows[] = {
            {"any 127. address", "127.8.9.10", false},
            {"link-local with scope", "fe80::ff:fe4e:5600%nv0", false},
            {"text that merely starts like ::1", "::10", false},
            {"IPv4 link-local stays", "169.254.7.8", true},
            {"127 not at the start", "10.127.0.1", true},
            {"prefix test is case-sensitive", "FE80::1", true},
        };
        const NetworkAddress first{AddressType::IPv4, "a", "10.0.0.1"}, last{AddressType::IPv4, "c", "10.0.0.2"};
        for (const auto& [name, address, kept] : rows) {
            const NetworkAddress tested{AddressType::IPv6, "b", address};
            QVERIFY2(filterInterfaceAddresses({first, tested, last}) ==
                         (kept ? std::vector{first, tested, last} : std::vector{first, last}),
                     name);
        }
    }
};

QTEST_GUILESS_MAIN(NetworkMonitorTest)
#include "NetworkMonitorTest.moc"

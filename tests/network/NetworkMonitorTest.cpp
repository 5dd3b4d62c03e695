// The network monitor with a scripted reader and public-IP lookup: debounce, serial refreshes,
// the interface change test and the public-IP rules.
#include "NetworkMonitorHarness.h"

#include <QTest>

#include <deque>
#include <stdexcept>
#include <variant>

using namespace nerova;
using namespace std::chrono_literals;

namespace {

constexpr std::chrono::milliseconds debounce{300};

// What the scripted reader answers; the test changes it between refreshes.
struct ReaderScript {
    std::optional<std::vector<NetworkInterface>> interfaces;
    std::vector<NetworkAddress> addresses;
};

class ScriptedReader final : public NetworkReader {
public:
    explicit ScriptedReader(std::shared_ptr<ReaderScript> script) : script_(std::move(script)) {}
    std::optional<std::vector<NetworkInterface>> readInterfaces() const override { return script_->interfaces; }
    std::vector<NetworkAddress> readAllAddresses() const override { return script_->addresses; }

private:
    std::shared_ptr<ReaderScript> script_;
};

// One answer of the lookup: an address, no address, or a failure.
struct LookupFails {};
using LookupAnswer = std::variant<std::optional<QString>, LookupFails>;

// The lookup's answers, given in advance or, for a slow lookup, released one by one.
struct LookupScript {
    Channel<LookupAnswer> answers;
    int started = 0;
    int running = 0;
    int mostAtOnce = 0;
};

QCoro::Task<std::optional<QString>> scriptedLookup(std::shared_ptr<LookupScript> script)
{
    ++script->started;
    script->mostAtOnce = std::max(script->mostAtOnce, ++script->running);
    const std::optional<LookupAnswer> answer = co_await script->answers.receive();
    --script->running;
    if (std::holds_alternative<LookupFails>(*answer)) {
        throw std::runtime_error("the lookup failed");
    }
    co_return std::get<std::optional<QString>>(*answer);
}

NetworkInterface interface(const char* name)
{
    return {QString::fromLatin1(name), QStringLiteral("02:00:00:00:00:%1").arg(QLatin1Char(name[3]))};
}

NetworkAddress ipv4(const char* name, const char* address)
{
    return {AddressType::IPv4, QString::fromLatin1(name), QString::fromLatin1(address)};
}

using Interfaces = std::vector<NetworkInterface>;

} // namespace

Q_DECLARE_METATYPE(Interfaces)
Q_DECLARE_METATYPE(std::optional<Interfaces>)

class NetworkMonitorTest : public QObject {
    Q_OBJECT

    std::shared_ptr<ReaderScript> reader_;
    std::shared_ptr<LookupScript> lookup_;
    std::shared_ptr<std::vector<NetworkContext>> received_;
    std::unique_ptr<NetworkMonitor> monitor_;

    void start(bool withLookup = true)
    {
        NetworkMonitor::PublicIpLookup lookup;
        if (withLookup) {
            lookup = [script = lookup_] { return scriptedLookup(script); };
        }
        monitor_ = std::make_unique<NetworkMonitor>(std::make_unique<ScriptedReader>(reader_), std::move(lookup),
                                                    nullptr, debounce);
        test::collectContexts(*monitor_, received_);
    }

    // Waits long enough for any further (wrong) refresh to show.
    static void waitQuietPeriods() { QTest::qWait(int(3 * debounce.count())); }

private slots:
    void init()
    {
        reader_ = std::make_shared<ReaderScript>(
            ReaderScript{Interfaces{interface("eth0"), interface("wlp1")}, {ipv4("eth0", "10.0.0.5")}});
        lookup_ = std::make_shared<LookupScript>();
        received_ = std::make_shared<std::vector<NetworkContext>>();
    }

    void cleanup()
    {
        if (monitor_) {
            test::stopCollecting(*monitor_);
        }
        monitor_.reset();
    }

    // Construction alone yields one context, read after the debounce, with the loopback and
    // link-local addresses filtered out and no IPv6 external address.
    void oneContextAfterConstruction()
    {
        reader_->addresses = {ipv4("lo", "127.0.0.1"),
                              ipv4("eth0", "10.0.0.5"),
                              {AddressType::IPv6, QStringLiteral("eth0"), QStringLiteral("fe80::1")},
                              {AddressType::IPv4, QStringLiteral("eth0"), QStringLiteral("169.254.3.4")}};
        lookup_->answers.send(std::optional<QString>(QStringLiteral("198.51.100.7")));
        start();
        QCOMPARE(monitor_->refreshCount(), 0);
        QTRY_COMPARE(received_->size(), std::size_t(1));
        waitQuietPeriods();
        QCOMPARE(received_->size(), std::size_t(1));
        const NetworkContext& context = received_->front();
        QVERIFY((context.internalAddresses == std::vector{ipv4("eth0", "10.0.0.5"), ipv4("eth0", "169.254.3.4")}));
        QVERIFY(context.networkInterfaces == *reader_->interfaces);
        QCOMPARE(context.externalIPv4, std::optional<QString>(QStringLiteral("198.51.100.7")));
        QCOMPARE(context.externalIPv6, std::nullopt);
    }

    // Ten triggers closer together than the debounce: one refresh, after the last of them.
    void burstGivesOneRefresh()
    {
        start(false);
        QTRY_COMPARE(received_->size(), std::size_t(1));
        for (int i = 0; i < 10; ++i) {
            monitor_->sendInterfaceChange();
            QTest::qWait(int(debounce.count() / 5));
        }
        QCOMPARE(monitor_->refreshCount(), 1);
        QTRY_COMPARE(received_->size(), std::size_t(2));
        waitQuietPeriods();
        QCOMPARE(received_->size(), std::size_t(2));
        QCOMPARE(monitor_->refreshCount(), 2);
    }

    // The interface list is replaced only when it holds other interfaces, compared as sets.
    void interfaceChangeTest_data()
    {
        QTest::addColumn<std::optional<Interfaces>>("second");
        QTest::addColumn<Interfaces>("kept");
        const Interfaces first{interface("eth0"), interface("wlp1")};
        QTest::newRow("same, other order") << std::optional(Interfaces{interface("wlp1"), interface("eth0")}) << first;
        QTest::newRow("same, repeated") << std::optional(
                                               Interfaces{interface("wlp1"), interface("eth0"), interface("wlp1")})
                                        << first;
        QTest::newRow("one added") << std::optional(Interfaces{interface("usb2"), interface("eth0"), interface("wlp1")})
                                   << Interfaces{interface("usb2"), interface("eth0"), interface("wlp1")};
        QTest::newRow("one gone") << std::optional(Interfaces{interface("wlp1")}) << Interfaces{interface("wlp1")};
        QTest::newRow("same name, other hardware address")
            << std::optional(
                   Interfaces{interface("eth0"), {QStringLiteral("wlp1"), QStringLiteral("02:00:00:00:00:ff")}})
            << Interfaces{interface("eth0"), {QStringLiteral("wlp1"), QStringLiteral("02:00:00:00:00:ff")}};
        QTest::newRow("no list at all") << std::optional<Interfaces>() << first;
    }

    void interfaceChangeTest()
    {
        QFETCH(std::optional<Interfaces>, second);
        QFETCH(Interfaces, kept);
        start(false);
        QTRY_COMPARE(received_->size(), std::size_t(1));
        reader_->interfaces = second;
        monitor_->sendInterfaceChange();
        QTRY_COMPARE(received_->size(), std::size_t(2));
        QVERIFY(received_->back().networkInterfaces == kept);
        QVERIFY(monitor_->interfaces() == kept);
    }

    // A failed lookup keeps the last address (absent before the first success), and so does a
    // lookup that gives none; every refresh still yields.
    void publicIpRules()
    {
        const std::vector<LookupAnswer> answers{LookupFails{}, std::optional<QString>(QStringLiteral("198.51.100.7")),
                                                LookupFails{}, std::optional<QString>()};
        for (const LookupAnswer& answer : answers) {
            lookup_->answers.send(answer);
        }
        QTest::ignoreMessage(QtCriticalMsg, "Error fetching ipv4 address the lookup failed");
        QTest::ignoreMessage(QtCriticalMsg, "Error fetching ipv4 address the lookup failed");
        start();
        for (std::size_t refresh = 1; refresh < answers.size(); ++refresh) {
            QTRY_COMPARE(received_->size(), refresh);
            monitor_->sendInterfaceChange();
        }
        QTRY_COMPARE(received_->size(), answers.size());
        const std::optional<QString> found(QStringLiteral("198.51.100.7"));
        const std::vector<std::optional<QString>> expected{std::nullopt, found, found, found};
        for (std::size_t i = 0; i < expected.size(); ++i) {
            QCOMPARE((*received_)[i].externalIPv4, expected[i]);
            QCOMPARE((*received_)[i].externalIPv6, std::nullopt);
        }
    }

    // Two triggers while a slow lookup runs: both refreshes run after it, one at a time, in order,
    // each context carrying what its own refresh read and looked up.
    void refreshesQueueBehindASlowLookup()
    {
        start();
        QTRY_COMPARE(lookup_->started, 1);
        reader_->addresses = {ipv4("eth0", "10.0.0.6")};
        monitor_->sendInterfaceChange();
        QTest::qWait(int(2 * debounce.count()));
        reader_->addresses = {ipv4("eth0", "10.0.0.7")};
        monitor_->sendInterfaceChange();
        QTest::qWait(int(2 * debounce.count()));
        QCOMPARE(lookup_->started, 1);
        QVERIFY(received_->empty());

        for (const char* address : {"198.51.100.1", "198.51.100.2", "198.51.100.3"}) {
            const std::size_t before = received_->size();
            lookup_->answers.send(std::optional<QString>(QString::fromLatin1(address)));
            QTRY_COMPARE(received_->size(), before + 1);
        }
        QCOMPARE(lookup_->mostAtOnce, 1);
        const std::vector<std::pair<const char*, const char*>> expected{
            {"10.0.0.5", "198.51.100.1"}, {"10.0.0.7", "198.51.100.2"}, {"10.0.0.7", "198.51.100.3"}};
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const NetworkContext& context = (*received_)[i];
            QVERIFY(context.internalAddresses == std::vector{ipv4("eth0", expected[i].first)});
            QCOMPARE(context.externalIPv4, std::optional<QString>(QString::fromLatin1(expected[i].second)));
        }
    }
};

QTEST_GUILESS_MAIN(NetworkMonitorTest)

#include "NetworkMonitorTest.moc"

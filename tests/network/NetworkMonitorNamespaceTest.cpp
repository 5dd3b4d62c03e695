// The system's network reader and the network monitor on the kernel's notifications, in a network
// namespace of the test's own: each change of an address or a link gives exactly one context.
#include "NetworkHarness.h"
#include "platform/linux/SystemSources_linux.h"
#include "support/PrivateNetwork.h"

#include <QSet>
#include <QTest>

using namespace nerova;

namespace {

constexpr std::chrono::milliseconds debounce{500};
std::optional<QString> isolationFailure; // set in main()

} // namespace

class NetworkMonitorNamespaceTest : public QObject {
    Q_OBJECT

    std::shared_ptr<std::vector<NetworkContext>> received_ = std::make_shared<std::vector<NetworkContext>>();
    std::unique_ptr<NetworkMonitor> monitor_;

private slots:
    void initTestCase()
    {
        if (isolationFailure) {
            QSKIP(qPrintable(*isolationFailure));
        }
        // No IPv6 link-local address (it would appear seconds after a link comes up), so that every
        // change below is one burst of notifications.
        const QList<QStringList> steps{
            {"link", "add", "nv0", "address", "02:00:00:4e:56:00", "type", "veth", "peer", "name", "nv1", "address",
             "02:00:00:4e:56:01"},
            {"link", "set", "nv0", "addrgenmode", "none"},
            {"link", "set", "nv1", "addrgenmode", "none"},
            {"addr", "add", "10.77.0.1/24", "dev", "nv0"},
            {"-6", "addr", "add", "2001:db8:77::1/64", "dev", "nv0", "nodad"},
            {"link", "set", "nv0", "up"},
            {"link", "set", "nv1", "up"},
        };
        for (const QStringList& step : steps) {
            if (const std::optional<QString> failure = test::runIp(step)) {
                QSKIP(qPrintable(*failure));
            }
        }
        const auto sources = [](NetworkChangeSource::Trigger trigger) {
            std::vector<std::unique_ptr<NetworkChangeSource>> list;
            list.push_back(makeNetlinkChangeSource(std::move(trigger)));
            return list;
        };
        monitor_ = std::make_unique<NetworkMonitor>(makeSystemNetworkReader(), nullptr, sources, debounce);
        test::collectContexts(*monitor_, received_);
        test::settles(*received_, 1, debounce);
    }

    void cleanupTestCase() { test::stopCollecting(monitor_); }

    // Loopback is left out of the interfaces, and loopback and link-local addresses are filtered out.
    void firstContextReadsTheNamespace()
    {
        const NetworkContext& context = received_->front();
        const QSet<NetworkInterface> interfaces(context.networkInterfaces.begin(), context.networkInterfaces.end());
        QCOMPARE(interfaces, (QSet<NetworkInterface>{{"nv0", "02:00:00:4e:56:00"}, {"nv1", "02:00:00:4e:56:01"}}));
        QCOMPARE(context.networkInterfaces.size(), std::size_t(2));
        QVERIFY((context.internalAddresses ==
                 std::vector<NetworkAddress>{{AddressType::IPv4, "nv0", "10.77.0.1", 24},
                                             {AddressType::IPv6, "nv0", "2001:db8:77::1", 64}}));
    }

    // Each row changes the namespace's network from where the previous row left it. A link that goes
    // down keeps its IPv4 addresses.
    void oneContextPerChange()
    {
        const std::pair<QStringList, bool> rows[] = {
            // the change, and whether 10.66.0.1 is listed after it
            {{"addr", "add", "10.66.0.1/24", "dev", "nv0"}, true},
            {{"link", "set", "nv0", "down"}, true},
            {{"addr", "del", "10.66.0.1/24", "dev", "nv0"}, false},
        };
        for (const auto& [change, addressListed] : rows) {
            const std::size_t before = received_->size();
            if (const std::optional<QString> failure = test::runIp(change)) {
                QFAIL(qPrintable(*failure));
            }
            test::settles(*received_, before + 1, debounce);
            const std::vector<NetworkAddress>& addresses = received_->back().internalAddresses;
            QVERIFY2(std::any_of(addresses.begin(), addresses.end(),
                                 [](const auto& entry) { return entry.address == "10.66.0.1"; }) == addressListed,
                     qPrintable(change.join(u' ')));
            QCOMPARE(received_->back().networkInterfaces.size(), std::size_t(2));
        }
    }
};

int main(int argc, char* argv[])
{
    isolationFailure = nerova::test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    NetworkMonitorNamespaceTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "NetworkMonitorNamespaceTest.moc"

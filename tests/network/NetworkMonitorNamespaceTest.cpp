// The network monitor on the kernel's notifications, in a network namespace of the test's own:
// each change of an address or a link gives exactly one context after the debounce.
#include "NetworkMonitorHarness.h"
#include "support/PrivateNetwork.h"

#include <QCoreApplication>
#include <QTest>

using namespace nerova;

namespace {

constexpr std::chrono::milliseconds debounce{500};

bool hasAddress(const NetworkContext& context, const QString& address)
{
    return std::any_of(context.internalAddresses.begin(), context.internalAddresses.end(),
                       [&](const NetworkAddress& entry) { return entry.address == address; });
}

} // namespace

class NetworkMonitorNamespaceTest : public QObject {
    Q_OBJECT

public:
    explicit NetworkMonitorNamespaceTest(std::optional<QString> isolationFailure)
        : isolationFailure_(std::move(isolationFailure))
    {}

private:
    std::optional<QString> isolationFailure_;
    std::shared_ptr<std::vector<NetworkContext>> received_ = std::make_shared<std::vector<NetworkContext>>();
    std::unique_ptr<NetworkMonitor> monitor_;

private slots:
    void initTestCase()
    {
        if (isolationFailure_) {
            QSKIP(qPrintable(*isolationFailure_));
        }
        // Without IPv6 no link-local address appears seconds after a link comes up, so every
        // change below is one burst of notifications.
        for (const char* name : {"net/ipv6/conf/all/disable_ipv6", "net/ipv6/conf/default/disable_ipv6"}) {
            if (const std::optional<QString> failure = test::writeSysctl(QString::fromLatin1(name), "1")) {
                QSKIP(qPrintable(*failure));
            }
        }
        const QList<QStringList> steps{
            {"link", "add", "nm0", "type", "veth", "peer", "name", "nm1"},
            {"link", "set", "nm0", "up"},
            {"link", "set", "nm1", "up"},
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
        QVERIFY(monitor_->interfaces().empty());
        test::collectContexts(*monitor_, received_);
        QTRY_COMPARE(received_->size(), std::size_t(1));
        QTest::qWait(int(3 * debounce.count()));
        QCOMPARE(received_->size(), std::size_t(1));
    }

    void cleanupTestCase()
    {
        if (monitor_) {
            test::stopCollecting(*monitor_);
        }
        monitor_.reset();
    }

    // Each row changes the namespace's network from where the previous row left it. A link that goes
    // down keeps its addresses.
    void oneContextPerChange_data()
    {
        QTest::addColumn<QStringList>("change");
        QTest::addColumn<bool>("addressListed");
        QTest::newRow("address added") << QStringList{"addr", "add", "10.66.0.1/24", "dev", "nm0"} << true;
        QTest::newRow("address removed") << QStringList{"addr", "del", "10.66.0.1/24", "dev", "nm0"} << false;
        QTest::newRow("address added again") << QStringList{"addr", "add", "10.66.0.1/24", "dev", "nm0"} << true;
        QTest::newRow("peer link down") << QStringList{"link", "set", "nm1", "down"} << true;
        QTest::newRow("link down") << QStringList{"link", "set", "nm0", "down"} << true;
    }

    void oneContextPerChange()
    {
        QFETCH(QStringList, change);
        QFETCH(bool, addressListed);
        const std::size_t before = received_->size();
        if (const std::optional<QString> failure = test::runIp(change)) {
            QFAIL(qPrintable(*failure));
        }
        QTRY_COMPARE(received_->size(), before + 1);
        QTest::qWait(int(3 * debounce.count()));
        QCOMPARE(received_->size(), before + 1);
        QCOMPARE(hasAddress(received_->back(), QStringLiteral("10.66.0.1")), addressListed);
        QCOMPARE(received_->back().networkInterfaces.size(), std::size_t(2));
    }
};

int main(int argc, char* argv[])
{
    std::optional<QString> isolationFailure = nerova::test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    NetworkMonitorNamespaceTest test(std::move(isolationFailure));
    return QTest::qExec(&test, argc, argv);
}

#include "NetworkMonitorNamespaceTest.moc"

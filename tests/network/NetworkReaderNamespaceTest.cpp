// The network readers in a network namespace of the test's own, with a veth pair of known
// hardware and IP addresses.
#include "network/NetworkReader.h"
#include "support/PrivateNetwork.h"

#include <QCoreApplication>
#include <QSet>
#include <QTest>

using namespace nerova;

class NetworkReaderNamespaceTest : public QObject {
    Q_OBJECT

public:
    explicit NetworkReaderNamespaceTest(std::optional<QString> isolationFailure)
        : isolationFailure_(std::move(isolationFailure))
    {}

private:
    std::optional<QString> isolationFailure_;

private slots:
    void initTestCase()
    {
        if (isolationFailure_) {
            QSKIP(qPrintable(*isolationFailure_));
        }
        const QList<QStringList> steps{
            {"link", "add", "nv0", "address", "02:00:00:4e:56:00", "type", "veth", "peer", "name", "nv1", "address",
             "02:00:00:4e:56:01"},
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
    }

    // Loopback is left out of the interfaces, and loopback and link-local addresses are filtered out.
    void readsTheNamespacesNetwork()
    {
        const std::unique_ptr<NetworkReader> reader = makeSystemNetworkReader();
        const std::vector<NetworkInterface> interfaces = reader->readInterfaces().value();
        const QSet<NetworkInterface> expected{{QStringLiteral("nv0"), QStringLiteral("02:00:00:4e:56:00")},
                                              {QStringLiteral("nv1"), QStringLiteral("02:00:00:4e:56:01")}};
        QCOMPARE(QSet<NetworkInterface>(interfaces.begin(), interfaces.end()), expected);
        QCOMPARE(interfaces.size(), std::size_t(2));

        const std::vector<NetworkAddress> addresses{
            {AddressType::IPv4, QStringLiteral("nv0"), QStringLiteral("10.77.0.1")},
            {AddressType::IPv6, QStringLiteral("nv0"), QStringLiteral("2001:db8:77::1")}};
        QVERIFY(readInterfaceAddresses(*reader) == addresses);
        QStringList all;
        for (const NetworkAddress& address : reader->readAllAddresses()) {
            all.append(address.address);
        }
        QVERIFY2(all.contains(QStringLiteral("127.0.0.1")) && all.contains(QStringLiteral("::1")),
                 qPrintable(all.join(u' ')));
    }
};

int main(int argc, char* argv[])
{
    std::optional<QString> isolationFailure = nerova::test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    NetworkReaderNamespaceTest test(std::move(isolationFailure));
    return QTest::qExec(&test, argc, argv);
}

#include "NetworkReaderNamespaceTest.moc"

// Real ICMP sockets, in a network namespace of the test's own: loopback over the raw socket path
// and IPv6 datagram sockets (the socket kind is chosen through the sysctl that decides it on a
// user's machine), and a name that does not resolve. The rules engine's probe test pings IPv4
// loopback and a silent host.
#include "NetworkHarness.h"
#include "support/PrivateNetwork.h"

#include <QElapsedTimer>

using namespace nerova;

namespace {

std::optional<QString> isolationFailure; // set in main()

std::optional<QString> allowPingGroups(const QByteArray& groups)
{
    return test::writeSysctl(QStringLiteral("net/ipv4/ping_group_range"), groups);
}

} // namespace

class SimplePingerTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (isolationFailure) {
            QSKIP(qPrintable(*isolationFailure));
        }
    }

    void loopback_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QByteArray>("pingGroups");
        QTest::newRow("IPv6 datagram socket") << "::1" << QByteArray("0 2147483647");
        QTest::newRow("IPv4 raw socket") << "127.0.0.1" << QByteArray("1 0"); // datagram sockets refused
        QTest::newRow("IPv6 raw socket") << "::1" << QByteArray("1 0");
    }

    void loopback()
    {
        QFETCH(QString, host);
        QFETCH(QByteArray, pingGroups);
        if (const auto failure = allowPingGroups(pingGroups)) {
            QSKIP(qPrintable(*failure));
        }
        SimplePinger pinger;
        for (int round = 0; round < 2; ++round) { // a pinger is reusable once a ping has ended
            QCOMPARE(QCoro::waitFor(test::pingOutcome(pinger, host, 5)), QStringLiteral("reply"));
        }
    }

    void refusalSaysWhy()
    {
        if (const auto failure = allowPingGroups("1 0")) {
            QSKIP(qPrintable(*failure));
        }
        const QString reason = systemIcmpSocketApi()->refusalReason();
        QVERIFY2(reason.contains(QLatin1String("net.ipv4.ping_group_range is \"1 0\", which allows no group at all")),
                 qPrintable(reason));
        QVERIFY2(reason.contains(QLatin1String("CAP_NET_RAW")), qPrintable(reason));
    }

    void unresolvableName()
    {
        // Nothing leaves the private namespace, so the name fails at once instead of after the timeout.
        SimplePinger pinger;
        QElapsedTimer clock;
        clock.start();
        const QString result = QCoro::waitFor(test::pingOutcome(pinger, QStringLiteral("nonexistent.invalid"), 60));
        QVERIFY2(result.startsWith(QLatin1String("failed(hostResolution(2, ")), qPrintable(result));
        QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
    }
};

int main(int argc, char* argv[])
{
    // Before QCoreApplication and any thread, so that every thread (the resolver's included)
    // lives in the private namespace.
    isolationFailure = nerova::test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    SimplePingerTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "SimplePingerTest.moc"

// `nerova-agent watch` as a process in a network namespace of the test's own: one JSON line per
// context on standard output, one more after an address is added, a clean end on SIGTERM, and
// exit code 2 for bad arguments.
#include "network/NetworkContextJson.h"
#include "support/PrivateNetwork.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace nerova;

namespace {

// No bus and no display of the host reach the command.
QProcessEnvironment isolatedEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "XDG_SESSION_ID"}) {
        environment.remove(QString::fromLatin1(name));
    }
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
    return environment;
}

} // namespace

class WatchCommandTest : public QObject {
    Q_OBJECT

public:
    explicit WatchCommandTest(std::optional<QString> isolationFailure) : isolationFailure_(std::move(isolationFailure))
    {}

private:
    std::optional<QString> isolationFailure_;

private slots:
    void badArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("unknown option") << QStringList{"--bogus"};
        QTest::newRow("both public-IP options")
            << QStringList{"--no-public-ip", "--public-ip-endpoint", "https://ip.example/"};
        QTest::newRow("endpoint that is not http") << QStringList{"--public-ip-endpoint", "ftp://ip.example/"};
        QTest::newRow("positional argument") << QStringList{"now"};
    }

    void badArguments()
    {
        QFETCH(QStringList, arguments);
        QProcess watch;
        watch.setProcessEnvironment(isolatedEnvironment());
        watch.start(QStringLiteral(NEROVA_AGENT_BINARY), QStringList{"watch"} + arguments);
        QVERIFY(watch.waitForFinished(10000));
        QCOMPARE(watch.exitCode(), 2);
        QVERIFY(watch.readAllStandardOutput().isEmpty());
        QVERIFY(watch.readAllStandardError().contains("Usage: nerova-agent watch"));
    }

    void printsOneLinePerContext()
    {
        if (isolationFailure_) {
            QSKIP(qPrintable(*isolationFailure_));
        }
        for (const char* name : {"net/ipv6/conf/all/disable_ipv6", "net/ipv6/conf/default/disable_ipv6"}) {
            QVERIFY(!test::writeSysctl(QString::fromLatin1(name), "1"));
        }
        for (const QStringList& step : QList<QStringList>{{"link", "add", "nw0", "type", "veth", "peer", "name", "nw1"},
                                                          {"link", "set", "nw0", "up"},
                                                          {"link", "set", "nw1", "up"}}) {
            if (const std::optional<QString> failure = test::runIp(step)) {
                QSKIP(qPrintable(*failure));
            }
        }
        QProcess watch;
        watch.setProcessEnvironment(isolatedEnvironment());
        watch.start(QStringLiteral(NEROVA_AGENT_BINARY), {QStringLiteral("watch"), QStringLiteral("--no-public-ip")});
        QVERIFY(watch.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(watch.canReadLine(), 15000);
        const NetworkContext first = decodeNetworkContext(watch.readLine());
        QCOMPARE(first.networkInterfaces.size(), std::size_t(2));
        QVERIFY(first.internalAddresses.empty());

        QVERIFY(!test::runIp({"addr", "add", "10.67.0.1/24", "dev", "nw0"}));
        QElapsedTimer sinceChange;
        sinceChange.start();
        QTRY_VERIFY_WITH_TIMEOUT(watch.canReadLine(), 15000);
        qInfo("the context followed the change after %lld ms", sinceChange.elapsed());
        const NetworkContext second = decodeNetworkContext(watch.readLine());
        QCOMPARE(second.internalAddresses.size(), std::size_t(1));
        QCOMPARE(second.internalAddresses.front().address, QStringLiteral("10.67.0.1"));
        QCOMPARE(second.externalIPv4, std::nullopt);

        QTest::qWait(7000); // longer than the debounce: a second line would show now
        QVERIFY(!watch.canReadLine());
        ::kill(static_cast<pid_t>(watch.processId()), SIGTERM);
        QVERIFY(watch.waitForFinished(10000));
        QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watch.exitCode(), 0);
        QVERIFY(watch.readAllStandardOutput().isEmpty());
    }
};

int main(int argc, char* argv[])
{
    std::optional<QString> isolationFailure = nerova::test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    WatchCommandTest test(std::move(isolationFailure));
    return QTest::qExec(&test, argc, argv);
}

#include "WatchCommandTest.moc"

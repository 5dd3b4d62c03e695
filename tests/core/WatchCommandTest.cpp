// `nerova-agent watch` as a process in a network namespace of the test's own: one JSON line per
// context on standard output, one more after an address is added, a clean end on SIGTERM.
#include "network/NetworkContextJson.h"
#include "support/PrivateNetwork.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace nerova;

static std::optional<QString> isolationFailure; // why the test could not have a network of its own

class WatchCommandTest : public QObject {
    Q_OBJECT

private slots:
    void printsOneLinePerContext()
    {
        if (isolationFailure) {
            QSKIP(qPrintable(*isolationFailure));
        }
        for (const char* name : {"net/ipv6/conf/all/disable_ipv6", "net/ipv6/conf/default/disable_ipv6"}) {
            QVERIFY(!test::writeSysctl(QString::fromLatin1(name), "1"));
        }
        if (const std::optional<QString> failure = test::addVethPair(QStringLiteral("nw0"), QStringLiteral("nw1"))) {
            QSKIP(qPrintable(*failure));
        }
        // No bus and no display of the host reach the command.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "XDG_SESSION_ID"}) {
            environment.remove(QString::fromLatin1(name));
        }
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/bus"));
        QProcess watch;
        watch.setProcessEnvironment(environment);
        watch.start(QStringLiteral(NEROVA_AGENT_BINARY), {QStringLiteral("watch"), QStringLiteral("--no-public-ip")});
        QVERIFY(watch.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(watch.canReadLine(), 15000);
        const NetworkContext first = decodeNetworkContext(watch.readLine());
        QCOMPARE(first.networkInterfaces.size(), std::size_t(2));
        QVERIFY(first.internalAddresses.empty());

        QVERIFY(!test::runIp({"addr", "add", "10.67.0.1/24", "dev", "nw0"}));
        QTRY_VERIFY_WITH_TIMEOUT(watch.canReadLine(), 15000);
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
    isolationFailure = nerova::test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    WatchCommandTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "WatchCommandTest.moc"

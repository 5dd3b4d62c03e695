#include "agent/MachineState.h"
#include "platform/linux/SystemSources_linux.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace nerova;

namespace {

const QByteArray absent = QByteArrayLiteral("<absent>"); // a file left out, or a value that is none

// The login name as the system's own tool tells it, not as the agent finds it.
QString idUserName()
{
    QProcess id;
    id.start(QStringLiteral("id"), {QStringLiteral("-un")});
    return id.waitForFinished() ? QString::fromLocal8Bit(id.readAllStandardOutput()).trimmed() : QString();
}

struct Hardware {
    QByteArray productName, chassisType, serial; // the DMI files
    QString modelName, deviceSymbol, serialNumber;
};

} // namespace

class MachineStateTest : public QObject {
    Q_OBJECT

private slots:
    void hardware_data()
    {
        QTest::addColumn<Hardware>("hardware");
        const QString none = QString::fromLatin1(absent);
        // clang-format off
        QTest::newRow("Mac mini") << Hardware{"Macmini9,1\n", "3\n", "H2WDK0ABQ6NV\n", "Macmini9,1", "macmini", "H2WDK0ABQ6NV"};
        QTest::newRow("chassis with lock bit") << Hardware{"20XW0026GE\n", "138\n", "PF3ABCDE\n", "20XW0026GE", "macbook", "PF3ABCDE"};
        QTest::newRow("mini PC chassis") << Hardware{"NUC11PAHi5\n", "35\n", absent, "NUC11PAHi5", "macmini", none};
        QTest::newRow("zero byte and blanks trimmed") << Hardware{QByteArray("  MacBookPro18,3\0\n", 18), "garbage", absent, "MacBookPro18,3", "macbook", none};
        QTest::newRow("non-ASCII model") << Hardware{"Büro-PC\n", "13\n", absent, "Büro-PC", "desktopcomputer", none};
        QTest::newRow("model not UTF-8") << Hardware{"Mac\xff\xfemini\n", absent, absent, "Unknown Device", "desktopcomputer", none};
        QTest::newRow("blank model") << Hardware{" \n", "10\n", absent, "Unknown Device", "macbook", none};
        QTest::newRow("placeholder serial") << Hardware{"X\n", absent, "To be filled by O.E.M.\n", "X", "desktopcomputer", none};
        QTest::newRow("blank serial") << Hardware{"X\n", absent, "   \n", "X", "desktopcomputer", none};
        QTest::newRow("no DMI at all") << Hardware{absent, absent, absent, "Unknown Device", "desktopcomputer", none};
        // clang-format on
    }

    void hardware()
    {
        QFETCH(Hardware, hardware);
        QTemporaryDir dir; // a fake DMI directory, without the files whose contents are <absent>
        QDir().mkpath(dir.filePath(QStringLiteral("dmi")));
        for (const auto& [name, contents] : {std::pair{"product_name", hardware.productName},
                                             {"chassis_type", hardware.chassisType},
                                             {"product_serial", hardware.serial}}) {
            if (contents != absent) {
                test::writeFile(dir, QStringLiteral("dmi/") + QLatin1String(name), contents);
            }
        }
        const MachineState machine(
            makeDmiMachineFacts(dir.filePath(QStringLiteral("dmi")), dir.filePath("machine-info")));
        QCOMPARE(machine.modelName(), hardware.modelName);
        QCOMPARE(machine.deviceSymbol(), hardware.deviceSymbol);
        QCOMPARE(machine.serialNumber().value_or(QString::fromLatin1(absent)), hardware.serialNumber);
    }

    void computerName_data()
    {
        QTest::addColumn<QByteArray>("machineInfo"); // "<absent>": no file
        QTest::addColumn<QString>("expected");       // HOST: the host name
        // clang-format off
        QTest::newRow("escaped quote") << QByteArray("PRETTY_HOSTNAME=\"The \\\"Big\\\" One\"\nCHASSIS=laptop\n") << "The \"Big\" One";
        QTest::newRow("single quotes keep backslashes") << QByteArray("PRETTY_HOSTNAME='a\\b'\n") << "a\\b";
        QTest::newRow("unquoted") << QByteArray("ICON_NAME=computer\nPRETTY_HOSTNAME=Büro\n") << "Büro";
        QTest::newRow("empty pretty name, an older one commented out") << QByteArray("PRETTY_HOSTNAME=\n# PRETTY_HOSTNAME=Old\n") << "HOST";
        QTest::newRow("no machine-info") << absent << "HOST";
        // clang-format on
    }

    void computerName()
    {
        QFETCH(QByteArray, machineInfo);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString path = machineInfo == absent ? dir.filePath(QStringLiteral("machine-info"))
                                                   : test::writeFile(dir, QStringLiteral("machine-info"), machineInfo);
        const MachineState machine(makeDmiMachineFacts(dir.filePath(QStringLiteral("dmi")), path));
        QCOMPARE(machine.computerName(), expected == u"HOST" ? QSysInfo::machineHostName() : expected);
    }

    void deviceInformation_data()
    {
        QTest::addColumn<QByteArray>("policy"); // managed configuration
        QTest::addColumn<QString>("userName");  // the user's own "username" setting; empty: none
        QTest::addColumn<QString>("expected");  // LOGIN: the login name
        // clang-format off
        QTest::newRow("managed username wins") << QByteArray(R"({"username":"a.admin"})") << "user-set" << "a.admin";
        QTest::newRow("login name otherwise") << QByteArray("{}") << "" << "LOGIN";
        QTest::newRow("empty managed username gives the login name") << QByteArray(R"({"username":""})") << "" << "LOGIN";
        // clang-format on
    }

    void deviceInformation()
    {
        QFETCH(QByteArray, policy);
        QFETCH(QString, userName);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath(QStringLiteral("managed")));
        test::writeFile(dir, QStringLiteral("managed/policy.json"), policy);
        Settings settings(dir.filePath(QStringLiteral("NerovaAgent.conf")), dir.filePath(QStringLiteral("managed")),
                          geteuid());
        if (!userName.isEmpty()) {
            settings.setText(QStringLiteral("username"), userName);
        }
        const QString info = test::writeFile(dir, QStringLiteral("machine-info"), "PRETTY_HOSTNAME=\"Front Desk\"\n");
        const DeviceInformation information = makeDeviceInformation(
            MachineState(makeDmiMachineFacts(dir.filePath(QStringLiteral("dmi")), info)), settings);
        QCOMPARE(information.localUsername, expected == u"LOGIN" ? idUserName() : expected);
        QCOMPARE(information.serialNumber, QStringLiteral("unknown"));
        QCOMPARE(information.name, QStringLiteral("Front Desk"));
    }
};

QTEST_GUILESS_MAIN(MachineStateTest)
#include "MachineStateTest.moc"

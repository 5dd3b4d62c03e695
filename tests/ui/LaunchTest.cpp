#include "DesktopFixture.h"

#include "agent/AgentBusAdaptor.h"
#include "ui/AutostartLoginItem.h"
#include "ui/DesktopApplication.h"
#include "ui/DesktopBusAdaptor.h"
#include "ui/PlatformChoice.h"
#include "ui/SymbolIcon.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTabWidget>
#include <QXmlStreamReader>

#include <signal.h>
#include <sys/stat.h>

using namespace nerova;
using namespace nerova::test;

namespace {

enum Keys { pairFound, pairCreated, creationFails, lookupFails };

const QByteArray systemEnabled = "[Desktop Entry]\nType=Application\nExec=/opt/custom/nerova-agent\n";

// A message bus of the test's own, ended with it: nothing reaches the session's notifications. The
// bus's configuration comes from the sources (NEROVA_SOURCE_DIR, set by CTest).
class PrivateBus {
public:
    PrivateBus()
    {
        QProcess daemon;
        daemon.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--config-file=%1/tests/service/bare-session-bus.conf")
                          .arg(qEnvironmentVariable("NEROVA_SOURCE_DIR")),
                      QStringLiteral("--fork"), QStringLiteral("--print-address=1"), QStringLiteral("--print-pid=1")});
        daemon.waitForFinished(10'000);
        const QStringList lines = QString::fromUtf8(daemon.readAllStandardOutput()).split(u'\n');
        if (lines.size() >= 2) {
            address = lines[0];
            pid = lines[1].toInt();
        }
    }
    ~PrivateBus()
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
        }
    }
    QString address;
    pid_t pid = 0;
};

// A notification server that takes every notification, or refuses every one.
class StandInNotifications : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    bool refuse = false;
    QList<QStringList> notified; // app name, summary, body, actions

public slots:
    uint Notify(const QString& app, uint, const QString&, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap&, int)
    {
        notified << QStringList{app, summary, body, actions.join(u'|')};
        if (refuse) {
            sendErrorReply(QDBusError::NotSupported, QStringLiteral("not now"));
        }
        return 40 + notified.size();
    }
};

} // namespace

class LaunchTest : public QObject {
    Q_OBJECT

private slots:
    void launch_data()
    {
        QTest::addColumn<int>("keys");
        QTest::addColumn<QByteArray>(
            "userEntry"); // empty: none; <fifo>, <dangling link>, <directory>, <oversized>: no entry
        QTest::addColumn<QByteArray>("systemEntry"); // empty: none
        QTest::addColumn<bool>("enabled");
        const QByteArray none;
        // clang-format off
        QTest::newRow("pair created, no entry: created") << int(pairCreated) << none << none << true;
        QTest::newRow("creation fails, user disabled over enabled system entry: Hidden") << int(creationFails)
            << QByteArray("[Desktop Entry]\nExec=x\nHidden=True\n") << systemEnabled << false;
        QTest::newRow("lookup fails, user disabled: GNOME key") << int(lookupFails)
            << QByteArray("[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n") << none << false;
        QTest::newRow("pair found, system entry only") << int(pairFound) << none << systemEnabled << true;
        QTest::newRow("user's own enabled entry kept, key in another group does not count") << int(pairFound)
            << QByteArray("[Desktop Entry]\nExec=x\n[Desktop Action Off]\nHidden=true\n") << none << true;
        // A file where the user's autostart directory should be.
        QTest::newRow("directory cannot be created") << int(pairFound) << none << none << false;
        // What is no entry stands for the user's choice: never opened to block, read whole, written through or replaced.
        for (const char* kind : {"<fifo>", "<dangling link>", "<directory>", "<oversized>"}) {
            QTest::newRow(kind) << int(pairFound) << QByteArray(kind) << none << false;
        }
        // clang-format on
    }

    // The window is created, then hidden; the agent starts; key-pair failures do not stop the
    // launch, which goes on to the login item; the tray icon tells whether a location is determined.
    // Without a tray the window shows: the desktop system test shows that on an X server.
    void launch()
    {
        QFETCH(int, keys);
        QFETCH(QByteArray, userEntry);
        QFETCH(QByteArray, systemEntry);
        QFETCH(bool, enabled);
        QTemporaryDir dir;
        const QString directory = dir.filePath(QStringLiteral("user/autostart"));
        AutostartLoginItem item(directory, {dir.filePath(QStringLiteral("system/autostart"))},
                                QStringLiteral("/opt/Nerova Agent/nerova-agent"));
        const QByteArray entryPath = QFile::encodeName(item.userEntry());
        const QString elsewhere = dir.filePath(QStringLiteral("elsewhere.desktop"));
        const bool irregular = userEntry.startsWith('<');
        QVERIFY(!irregular || QDir().mkpath(directory));
        if (userEntry == "<fifo>") {
            QCOMPARE(::mkfifo(entryPath.constData(), 0600), 0);
        } else if (userEntry == "<dangling link>") {
            QVERIFY(QFile::link(elsewhere, item.userEntry()));
        } else if (userEntry == "<directory>") {
            QVERIFY(QDir().mkpath(item.userEntry()));
        } else if (userEntry == "<oversized>") {
            writeFile(item.userEntry(),
                      "[Desktop Entry]\nExec=x\n#" + QByteArray(AutostartLoginItem::maxEntryBytes, 'x'));
        } else if (!userEntry.isEmpty()) {
            writeFile(item.userEntry(), userEntry);
        }
        struct stat before {};
        ::lstat(entryPath.constData(), &before);
        if (!systemEntry.isEmpty()) {
            writeFile(dir.filePath(QStringLiteral("system/autostart/app.nerova.NerovaAgent.desktop")), systemEntry);
        }
        const bool blocked = QByteArray(QTest::currentDataTag()) == "directory cannot be created";
        if (blocked) {
            writeFile(dir.filePath(QStringLiteral("user")), "a file");
            QTest::ignoreMessage(QtCriticalMsg, qUtf8Printable("Failed to register login item: registrationFailed(\"" +
                                                               directory + ": the directory cannot be created\")"));
        } else if (irregular) {
            QTest::ignoreMessage(QtCriticalMsg,
                                 QRegularExpression("^Failed to register login item: registrationFailed\\(\"" +
                                                    QRegularExpression::escape(item.userEntry()) +
                                                    ": .+, left as it is\"\\)$"));
        } else {
            QTest::ignoreMessage(QtInfoMsg, "Login item registered successfully.");
        }
        QTest::ignoreMessage(enabled ? QtInfoMsg : QtCriticalMsg,
                             enabled ? "Login item is enabled." : "Login item is disabled.");
        const char* keyFailure[] = {nullptr, nullptr, "keyGenerationError(\"no entropy\")", "tagConversionError"};
        if (keyFailure[keys]) {
            QTest::ignoreMessage(QtCriticalMsg,
                                 ("Failed to fetch or generate key pair: " + QByteArray(keyFailure[keys])).constData());
        }
        int created = 0;
        QStringList tags;
        KeyPairSource source{
            [&](const QString& tag) -> std::optional<KeyPair> {
                tags << tag;
                if (keys == lookupFails) {
                    throw KeyManagerError(KeyManagerError::Case::tagConversionError);
                }
                return keys == pairFound ? std::optional(KeyManager::createKeyPair(tag)) : std::nullopt;
            },
            [&](QString tag) -> QCoro::Task<KeyPair> {
                ++created;
                if (keys == creationFails) {
                    throw KeyManagerError(KeyManagerError::Case::keyGenerationError, QStringLiteral("no entropy"));
                }
                co_return KeyManager::createKeyPair(tag);
            }};
        DesktopFixture fixture;
        fixture.configure();
        DesktopApplication desktop(fixture.agent(), [] {});
        desktop.window().show(); // as a platform might, before the launch runs
        nerova::await(desktop.launch(true, source, item));

        QVERIFY(!desktop.window().isVisible());
        QCOMPARE(tags, QStringList{QStringLiteral("app.nerova.NerovaAgent")});
        QCOMPARE(created, keys == pairCreated || keys == creationFails ? 1 : 0);
        QVERIFY(fixture.agent().fingerprintFile().has_value()); // started: the refresh installed the file
        if (irregular) { // the very same thing is there, and nothing went where a link pointed
            struct stat after {};
            QCOMPARE(::lstat(entryPath.constData(), &after), 0);
            QVERIFY(after.st_ino == before.st_ino && after.st_mode == before.st_mode &&
                    after.st_size == before.st_size);
            QVERIFY(!QFileInfo::exists(elsewhere));
        } else {
            QFile file(item.userEntry());
            const QByteArray written = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            if (userEntry.isEmpty() && systemEntry.isEmpty() && !blocked) {
                QVERIFY(written.startsWith("[Desktop Entry]\n"));
                QVERIFY(written.contains("\nExec=\"/opt/Nerova Agent/nerova-agent\"\n"));
                QVERIFY(written.contains("\nTryExec=/opt/Nerova Agent/nerova-agent\n")); // gone after removal: skipped
            } else {
                QCOMPARE(written, userEntry);
            }
        }
        QVERIFY(QTest::qWaitFor([&] { return fixture.agent().fingerprintFile().has_value(); }));
        QVERIFY(desktop.trayIcon());
        QCOMPARE(iconImage(desktop.trayIcon()->icon()), iconImage(trayIcon(false)));
        QCOMPARE(desktop.trayIcon()->toolTip(), QStringLiteral("Nerova Agent: no location"));
        fixture.deliver(DesktopFixture::officeContext());
        QCOMPARE(iconImage(desktop.trayIcon()->icon()), iconImage(trayIcon(true)));
        QCOMPARE(desktop.trayIcon()->toolTip(), QStringLiteral("Nerova Agent: Office"));
        QVERIFY(iconImage(trayIcon(true)) != iconImage(trayIcon(false)));
    }

    void firstLaunchNotice_data()
    {
        QTest::addColumn<QString>("server"); // at the first launch: none, refusing, taking
        QTest::newRow("no notification server: shown at the next launch") << "none";
        QTest::newRow("the server refuses: shown at the next launch") << "refusing";
        QTest::newRow("shown at the first launch only") << "taking";
    }

    // The notice reaches the user once: the setting is kept only once a server took it. Its action
    // opens the window on the Privacy tab; an action of another notification does not.
    void firstLaunchNotice()
    {
        QFETCH(QString, server);
        PrivateBus bus;
        QVERIFY2(!bus.address.isEmpty(), "dbus-daemon did not start");
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        QDBusConnection agentSide = QDBusConnection::connectToBus(bus.address, tag + "-agent");
        QDBusConnection serverSide = QDBusConnection::connectToBus(bus.address, tag + "-server");
        QVERIFY(agentSide.isConnected() && serverSide.isConnected());
        const QString path = QStringLiteral("/org/freedesktop/Notifications");
        StandInNotifications notifications;
        QVERIFY(serverSide.registerObject(path, &notifications, QDBusConnection::ExportAllSlots));
        const QString name = QStringLiteral("org.freedesktop.Notifications");
        const auto launch = [&](DesktopFixture& fixture) {
            auto desktop = std::make_unique<DesktopApplication>(fixture.agent(), [] {});
            nerova::await(desktop->showFirstLaunchNotice(agentSide));
            return desktop;
        };
        DesktopFixture fixture;
        const QString shownKey = QString::fromLatin1(settingskey::privacyNoticeShown);
        int expected = 0;
        if (server != u"taking") {
            notifications.refuse = server == u"refusing";
            QVERIFY(!notifications.refuse || serverSide.registerService(name));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^The privacy notice was not shown, no notification "
                                                                  "server took it: org.freedesktop.DBus.Error."));
            launch(fixture);
            QVERIFY(!fixture.settings().flag(shownKey));
            expected = notifications.refuse ? 1 : 0;
            QCOMPARE(notifications.notified.size(), expected);
            notifications.refuse = false;
        }
        QVERIFY(serverSide.interface()->isServiceRegistered(name) || serverSide.registerService(name));
        std::unique_ptr<DesktopApplication> desktop = launch(fixture);
        QCOMPARE(notifications.notified.size(), ++expected);
        QCOMPARE(notifications.notified.last().mid(0, 1), QStringList{"Nerova Agent"});
        QVERIFY(notifications.notified.last().at(3).contains(QStringLiteral("show|Show details")));
        QVERIFY(fixture.settings().flag(shownKey));

        const auto invoke = [&](uint id) {
            QDBusMessage signal = QDBusMessage::createSignal(path, name, QStringLiteral("ActionInvoked"));
            signal << id << QStringLiteral("show");
            QVERIFY(serverSide.send(signal));
            QDBusMessage ping =
                QDBusMessage::createMethodCall(agentSide.baseService(), "/", "org.freedesktop.DBus.Peer",
                                               "Ping"); // the signal went before the answer
            QCOMPARE(serverSide.call(ping).type(), QDBusMessage::ReplyMessage);
            QCoreApplication::processEvents();
        };
        invoke(40 + expected + 1);
        QVERIFY(!desktop->window().isVisible());
        invoke(40 + expected);
        QTRY_VERIFY(desktop->window().isVisible());
        QCOMPARE(desktop->window().findChild<QTabWidget*>("tabs")->currentIndex(), int(StatusWindow::privacyTab));

        desktop.reset();
        launch(fixture); // a later launch: nothing
        QCOMPARE(notifications.notified.size(), expected);
        QDBusConnection::disconnectFromBus(tag + "-agent");
        QDBusConnection::disconnectFromBus(tag + "-server");
    }

    void platformChoice_data()
    {
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QByteArray>("platform");
        const QString x = QStringLiteral("DISPLAY=:0"), wayland = QStringLiteral("WAYLAND_DISPLAY=wayland-0");
        QTest::newRow("X11 session") << QStringList{x, "XDG_SESSION_TYPE=x11"} << QByteArray();
        QTest::newRow("Wayland with Xwayland") << QStringList{x, wayland} << QByteArray("xcb;wayland");
        QTest::newRow("Wayland session type")
            << QStringList{x, "XDG_SESSION_TYPE=wayland"} << QByteArray("xcb;wayland");
        QTest::newRow("Wayland without Xwayland") << QStringList{wayland, "DISPLAY="} << QByteArray();
        QTest::newRow("the user's choice") << QStringList{x, wayland, "QT_QPA_PLATFORM=wayland"} << QByteArray();
    }
    // In a Wayland session the window goes to Xwayland when there is one, unless the user chose.
    void platformChoice()
    {
        QFETCH(QStringList, environment);
        QFETCH(QByteArray, platform);
        QProcessEnvironment values;
        for (const QString& assignment : environment) {
            values.insert(assignment.section(u'=', 0, 0), assignment.section(u'=', 1));
        }
        QCOMPARE(preferredQtPlatform(values), platform);
    }

    // What a client introspects: every member of the agent's interfaces says what it does, every
    // argument has a name.
    void busInterfacesAreDocumented()
    {
        PrivateBus bus;
        QVERIFY2(!bus.address.isEmpty(), "dbus-daemon did not start");
        QDBusConnection agentSide = QDBusConnection::connectToBus(bus.address, QStringLiteral("documented-agent"));
        QDBusConnection client = QDBusConnection::connectToBus(bus.address, QStringLiteral("documented-client"));
        DesktopFixture fixture;
        new DesktopBusAdaptor(fixture.agent(), [] {});
        QVERIFY(!publishAgent(fixture.agent(), agentSide, BusNameRole::takesOver));
        // Answered by this thread's event loop: asked without blocking it.
        const QDBusPendingCall pending = client.asyncCall(QDBusMessage::createMethodCall(
            agentbus::serviceName, agentbus::objectPath, "org.freedesktop.DBus.Introspectable", "Introspect"));
        QTRY_VERIFY(pending.isFinished());
        const QDBusMessage reply = pending.reply();
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);

        QXmlStreamReader xml(reply.arguments().value(0).toString());
        const auto isMember = [&xml] {
            return xml.name() == u"method" || xml.name() == u"property" || xml.name() == u"signal";
        };
        QStringList interfaces, members, undocumented;
        QString member;
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isEndElement() && isMember()) {
                member.clear();
            }
            if (!xml.isStartElement()) {
                continue;
            }
            const QString name = xml.attributes().value(QStringLiteral("name")).toString();
            if (xml.name() == u"interface" && !name.startsWith(u"app.nerova.")) {
                xml.skipCurrentElement();
            } else if (xml.name() == u"interface") {
                interfaces << name;
            } else if (isMember()) {
                member = name;
                members << name;
                undocumented << name;
            } else if (xml.name() == u"arg") {
                if (name.isEmpty()) {
                    undocumented << member + QStringLiteral(": an argument without a name");
                }
                xml.skipCurrentElement(); // its own annotations do not document the member
            } else if (xml.name() == u"annotation" && name == u"org.freedesktop.DBus.DocString" &&
                       !xml.attributes().value(QStringLiteral("value")).isEmpty()) {
                undocumented.removeAll(member);
            }
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(interfaces, QStringList({QString::fromLatin1(agentbus::interfaceName),
                                          QString::fromLatin1(desktopbus::interfaceName)}));
        // Every property and public slot of the adaptors stands in the description.
        for (const QMetaObject* adaptor : {&AgentBusAdaptor::staticMetaObject, &DesktopBusAdaptor::staticMetaObject}) {
            for (int i = adaptor->propertyOffset(); i < adaptor->propertyCount(); ++i) {
                QVERIFY2(members.contains(QLatin1String(adaptor->property(i).name())), adaptor->property(i).name());
            }
            for (int i = adaptor->methodOffset(); i < adaptor->methodCount(); ++i) {
                const QMetaMethod method = adaptor->method(i);
                if (method.methodType() == QMetaMethod::Slot && method.access() == QMetaMethod::Public) {
                    QVERIFY2(members.contains(QString::fromLatin1(method.name())), method.name().constData());
                }
            }
        }
        QCOMPARE(undocumented, QStringList());
        QDBusConnection::disconnectFromBus(QStringLiteral("documented-agent"));
        QDBusConnection::disconnectFromBus(QStringLiteral("documented-client"));
    }
};

QTEST_MAIN(LaunchTest)

#include "LaunchTest.moc"

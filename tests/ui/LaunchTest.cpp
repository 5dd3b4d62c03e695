#include "DesktopFixture.h"

#include "ui/AutostartLoginItem.h"
#include "ui/DesktopApplication.h"
#include "ui/SymbolIcon.h"

#include <QFile>

using namespace nerova;
using namespace nerova::test;

namespace {

class StandInLoginItem final : public LoginItem {
public:
    void registerItem() override { ++registrations; }
    Status status() const override { return Status::enabled; }
    int registrations = 0;
};

const KeyPairSource storedKeyPair{
    [](const QString&) { return std::optional<KeyPair>(KeyManager::createKeyPair(QStringLiteral("t"))); }, {}};

const QByteArray userEnabled = "[Desktop Entry]\nType=Application\nExec=/opt/custom/nerova-agent\n";

} // namespace

class LaunchTest : public QObject {
    Q_OBJECT

private slots:
    void launch_data()
    {
        QTest::addColumn<int>("keys"); // 1 created, 2 creation fails, 3 lookup fails
        QTest::addColumn<QString>("error");
        QTest::newRow("pair created") << 1 << QString();
        QTest::newRow("creation fails") << 2
                                        << "Failed to fetch or generate key pair: keyGenerationError(\"no entropy\")";
        QTest::newRow("lookup fails") << 3 << "Failed to fetch or generate key pair: tagConversionError";
    }

    // The window is created, then hidden; the agent starts once; key-pair failures do not stop the
    // launch, which goes on to the login item; the tray icon tells whether a location is determined.
    // Without a tray the window shows: the desktop system test shows that on an X server.
    void launch()
    {
        QFETCH(int, keys);
        QFETCH(QString, error);
        DesktopFixture fixture;
        fixture.configure();
        DesktopApplication desktop(fixture.agent(), [] {});
        desktop.window().show(); // as a platform might, before the launch runs
        int created = 0;
        QStringList tags;
        KeyPairSource source{[&](const QString& tag) -> std::optional<KeyPair> {
                                 tags << tag;
                                 return keys == 3 ? throw KeyManagerError(KeyManagerError::Case::tagConversionError)
                                                  : std::optional<KeyPair>();
                             },
                             [&](QString tag) -> QCoro::Task<KeyPair> {
                                 ++created;
                                 if (keys == 2) {
                                     throw KeyManagerError(KeyManagerError::Case::keyGenerationError,
                                                           QStringLiteral("no entropy"));
                                 }
                                 co_return KeyManager::createKeyPair(tag);
                             }};
        StandInLoginItem loginItem;
        if (!error.isEmpty()) {
            QTest::ignoreMessage(QtCriticalMsg, qUtf8Printable(error));
        }
        QTest::ignoreMessage(QtInfoMsg, "Login item registered successfully.");
        QTest::ignoreMessage(QtInfoMsg, "Login item is enabled.");
        nerova::await(desktop.launch(true, source, loginItem));

        QVERIFY(!desktop.window().isVisible());
        QCOMPARE(tags, QStringList{QStringLiteral("app.nerova.NerovaAgent")});
        QCOMPARE(created, keys == 3 ? 0 : 1);
        QCOMPARE(loginItem.registrations, 1);
        QVERIFY(fixture.agent().isStarted());
        QVERIFY(QTest::qWaitFor([&] { return fixture.agent().fingerprintFile().has_value(); }));
        // Closing hides the window; showing again brings it back, and refreshes nothing.
        desktop.showWindow();
        desktop.window().close();
        desktop.showWindow();
        QVERIFY(desktop.window().isVisible());
        QTest::qWait(50);
        QCOMPARE(fixture.downloads(), 1); // one start: one refresh
        QVERIFY(desktop.trayIcon());
        const auto image = [](const QIcon& icon) { return icon.pixmap(16, 16).toImage(); };
        QCOMPARE(image(desktop.trayIcon()->icon()), image(trayIcon(false)));
        fixture.deliver(DesktopFixture::officeContext());
        QCOMPARE(image(desktop.trayIcon()->icon()), image(trayIcon(true)));
        QVERIFY(image(trayIcon(true)) != image(trayIcon(false)));
    }

    void autostart_data()
    {
        QTest::addColumn<QByteArray>("userEntry");   // empty: none
        QTest::addColumn<QByteArray>("systemEntry"); // empty: none
        QTest::addColumn<bool>("enabled");
        const QByteArray none;
        // clang-format off
        QTest::newRow("no entry: created") << none << none << true;
        QTest::newRow("user disabled: Hidden") << QByteArray("[Desktop Entry]\nExec=x\nHidden=true\n") << none << false;
        QTest::newRow("user disabled: GNOME key")
            << QByteArray("[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n") << none << false;
        QTest::newRow("user disabled over enabled system entry")
            << QByteArray("[Desktop Entry]\nHidden=True\n") << userEnabled << false;
        QTest::newRow("system entry only") << none << userEnabled << true;
        QTest::newRow("user's own enabled entry kept, key in another group does not count")
            << QByteArray("[Desktop Entry]\nExec=x\n[Desktop Action Off]\nHidden=true\n") << none << true;
        // A file where the user's autostart directory should be.
        QTest::newRow("directory cannot be created") << none << none << false;
        // clang-format on
    }

    void autostart()
    {
        QFETCH(QByteArray, userEntry);
        QFETCH(QByteArray, systemEntry);
        QFETCH(bool, enabled);
        QTemporaryDir dir;
        const QString directory = dir.filePath(QStringLiteral("user/autostart"));
        AutostartLoginItem item(directory, {dir.filePath(QStringLiteral("system/autostart"))},
                                QStringLiteral("/opt/Nerova Agent/nerova-agent"));
        if (!userEntry.isEmpty()) {
            writeFile(item.userEntry(), userEntry);
        }
        if (!systemEntry.isEmpty()) {
            writeFile(dir.filePath(QStringLiteral("system/autostart/app.nerova.NerovaAgent.desktop")), systemEntry);
        }
        const bool blocked = QByteArray(QTest::currentDataTag()) == "directory cannot be created";
        if (blocked) {
            writeFile(dir.filePath(QStringLiteral("user")), "a file");
            QTest::ignoreMessage(QtCriticalMsg, qUtf8Printable("Failed to register login item: registrationFailed(\"" +
                                                               directory + ": the directory cannot be created\")"));
        } else {
            QTest::ignoreMessage(QtInfoMsg, "Login item registered successfully.");
        }
        QTest::ignoreMessage(enabled ? QtInfoMsg : QtCriticalMsg,
                             enabled ? "Login item is enabled." : "Login item is disabled.");
        QWidget window;
        nerova::await(runLaunchSequence(window, storedKeyPair, item));

        QFile file(item.userEntry());
        const QByteArray written = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        if (userEntry.isEmpty() && systemEntry.isEmpty() && !blocked) {
            QVERIFY(written.startsWith("[Desktop Entry]\n"));
            QVERIFY(written.contains("\nExec=\"/opt/Nerova Agent/nerova-agent\"\n"));
        } else {
            QCOMPARE(written, userEntry);
        }
    }
};

QTEST_MAIN(LaunchTest)

#include "LaunchTest.moc"

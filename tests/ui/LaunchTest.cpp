#include "DesktopFixture.h"

#include "ui/AutostartLoginItem.h"
#include "ui/DesktopApplication.h"
#include "ui/SymbolIcon.h"

#include <QFile>
#include <QRegularExpression>

#include <sys/stat.h>

using namespace nerova;
using namespace nerova::test;

namespace {

enum Keys { pairFound, pairCreated, creationFails, lookupFails };

const QByteArray systemEnabled = "[Desktop Entry]\nType=Application\nExec=/opt/custom/nerova-agent\n";

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
            } else {
                QCOMPARE(written, userEntry);
            }
        }
        QVERIFY(QTest::qWaitFor([&] { return fixture.agent().fingerprintFile().has_value(); }));
        QVERIFY(desktop.trayIcon());
        QCOMPARE(iconImage(desktop.trayIcon()->icon()), iconImage(trayIcon(false)));
        fixture.deliver(DesktopFixture::officeContext());
        QCOMPARE(iconImage(desktop.trayIcon()->icon()), iconImage(trayIcon(true)));
        QVERIFY(iconImage(trayIcon(true)) != iconImage(trayIcon(false)));
    }
};

QTEST_MAIN(LaunchTest)

#include "LaunchTest.moc"

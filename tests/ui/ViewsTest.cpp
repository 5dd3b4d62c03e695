#include "DesktopFixture.h"

#include "common/AppInfo.h"
#include "core/UserState.h"
#include "ui/DesktopApplication.h"
#include "ui/FingerprintTree.h"
#include "ui/ItemTreeView.h"
#include "ui/LabelValueView.h"
#include "ui/NetworkTableView.h"
#include "ui/SymbolIcon.h"

#include <QApplication>
#include <QTabWidget>
#include <QTest>
#include <QTreeView>

using namespace nerova;
using namespace nerova::test;

namespace {

// Counts the times a widget is shown.
class ShowCounter : public QObject {
public:
    int shows = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        shows += event->type() == QEvent::Show;
        return false;
    }
};

QStringList menuTexts(const TrayMenu& menu)
{
    QStringList texts;
    for (const QAction* action : menu.actions()) {
        if (!action->isSeparator()) {
            texts << action->text();
        }
    }
    return texts;
}

QImage iconImage(const QIcon& icon) { return icon.pixmap(16, 16).toImage(); }

FingerprintCondition condition(FingerprintConditionType type, std::vector<FingerprintConditionArgument> arguments)
{
    return FingerprintCondition{type, std::move(arguments), {}, false};
}

} // namespace

class ViewsTest : public QObject {
    Q_OBJECT

private slots:
    void menuRows_data()
    {
        QTest::addColumn<bool>("configured");
        QTest::addColumn<QByteArray>("managed");
        QTest::addColumn<bool>("located");
        QTest::addColumn<QString>("allowQuit"); // empty: absent
        QTest::addColumn<QStringList>("rows");  // "$user" stands for the login name

        const QString version = QStringLiteral("Version %1-%2").arg(appVersion(), appBuild());
        const QStringList commands{QStringLiteral("Show window"), QStringLiteral("Refresh")};
        const QStringList quit{QStringLiteral("Quit Nerova Agent")};
        const QString nowhere = QStringLiteral("Not determined");
        // clang-format off
        QTest::newRow("no message, login name, nowhere, quit absent") << true << QByteArray() << false << QString()
            << QStringList{"$user", nowhere} + commands + QStringList{version};
        QTest::newRow("message set") << false << QByteArray() << false << QString()
            << QStringList{"Not configured", "$user", nowhere} + commands + QStringList{version};
        QTest::newRow("managed user name") << true << QByteArray(R"({"username": "jdoe"})") << false << QString()
            << QStringList{"jdoe", nowhere} + commands + QStringList{version};
        QTest::newRow("empty managed user name: login name") << true << QByteArray(R"({"username": ""})") << false
            << QString() << QStringList{"$user", nowhere} + commands + QStringList{version};
        QTest::newRow("location set") << true << QByteArray() << true << QString()
            << QStringList{"$user", "Office"} + commands + QStringList{version};
        QTest::newRow("allowQuit false") << true << QByteArray() << false << QStringLiteral("false")
            << QStringList{"$user", nowhere} + commands + QStringList{version};
        QTest::newRow("allowQuit true") << true << QByteArray() << false << QStringLiteral("true")
            << QStringList{"$user", nowhere} + commands + quit + QStringList{version};
        // clang-format on
    }

    void menuRows()
    {
        QFETCH(bool, configured);
        QFETCH(QByteArray, managed);
        QFETCH(bool, located);
        QFETCH(QString, allowQuit);
        QFETCH(QStringList, rows);
        rows.replaceInStrings(QStringLiteral("$user"), loginName());

        DesktopFixture fixture;
        TrayMenu menu(fixture.agent(), {[] {}, [] {}});
        if (configured) {
            fixture.configure();
        }
        if (!managed.isEmpty()) {
            fixture.setManaged(managed);
        }
        if (!allowQuit.isEmpty()) {
            fixture.settings().setText(QString::fromLatin1(settingskey::allowQuit), allowQuit);
        }
        fixture.checkin();
        if (located) {
            fixture.startInstalled();
            fixture.deliver(DesktopFixture::officeContext());
        }
        // The menu follows the agent's signals, and reads the settings again when it opens.
        emit menu.aboutToShow();
        QCOMPARE(menuTexts(menu), rows);
        for (const QAction* action : menu.actions()) {
            const bool command = action->text() == u"Show window" || action->text() == u"Refresh" ||
                                 action->text() == u"Quit Nerova Agent";
            QCOMPARE(action->isEnabled(), command || action->isSeparator());
        }
        QCOMPARE(menu.action(TrayMenuRow::Kind::showWindow)->shortcut(), QKeySequence(QStringLiteral("Ctrl+W")));
        QCOMPARE(menu.action(TrayMenuRow::Kind::refresh)->shortcut(), QKeySequence(QStringLiteral("Ctrl+R")));
        if (QAction* quitItem = menu.action(TrayMenuRow::Kind::quit)) {
            QCOMPARE(quitItem->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
        }
    }

    void quitStopsTheAgentThenQuits()
    {
        DesktopFixture fixture;
        fixture.settings().setFlag(QString::fromLatin1(settingskey::allowQuit), true);
        QStringList order;
        TrayMenu menu(fixture.agent(),
                      {[] {}, [&] { order << (fixture.agent().isStarted() ? "running" : "stopped"); }});
        fixture.agent().start();
        emit menu.aboutToShow();
        menu.action(TrayMenuRow::Kind::quit)->trigger();
        QCOMPARE(order, QStringList{"stopped"});
    }

    void showWindowWhileOpenOnlyRaises()
    {
        DesktopFixture fixture;
        DesktopApplication desktop(fixture.agent(), [] {});
        ShowCounter counter;
        desktop.window().installEventFilter(&counter);
        QVERIFY(!desktop.window().isVisible());

        desktop.menu().action(TrayMenuRow::Kind::showWindow)->trigger();
        QVERIFY(desktop.window().isVisible());
        desktop.window().tabs().setCurrentIndex(StatusWindow::fingerprintsTab);
        desktop.menu().action(TrayMenuRow::Kind::showWindow)->trigger();
        QCOMPARE(counter.shows, 1);
        QCOMPARE(desktop.window().tabs().currentIndex(), int(StatusWindow::fingerprintsTab));

        desktop.window().close(); // closing hides; showing again brings back the same window
        QVERIFY(!desktop.window().isVisible());
        desktop.showWindow();
        QVERIFY(desktop.window().isVisible());
        QCOMPARE(counter.shows, 2);
        QCOMPARE(desktop.window().tabs().currentIndex(), int(StatusWindow::fingerprintsTab));
    }

    void tabs_data()
    {
        QTest::addColumn<int>("state"); // 0 before the first context, 1 without external address, 2 located
        QTest::addColumn<bool>("none");
        QTest::addColumn<int>("interfaces");
        QTest::addColumn<int>("addresses");
        QTest::addColumn<QString>("externalIPv4");
        QTest::addColumn<QString>("location");
        QTest::addColumn<bool>("checked"); // "Last presence check" shows a time, not "Never"

        // clang-format off
        QTest::newRow("before the first context") << 0 << true << 0 << 0 << "Unknown" << "Not determined" << false;
        QTest::newRow("no external address") << 1 << false << 1 << 1 << "Unknown" << "Not determined" << true;
        QTest::newRow("at the office") << 2 << false << 2 << 2 << "203.0.113.7" << "Office" << true;
        // clang-format on
    }

    void tabs()
    {
        QFETCH(int, state);
        QFETCH(bool, none);
        QFETCH(int, interfaces);
        QFETCH(int, addresses);
        QFETCH(QString, externalIPv4);
        QFETCH(QString, location);
        QFETCH(bool, checked);

        DesktopFixture fixture;
        fixture.configure();
        StatusWindow window(fixture.agent()); // built first: what follows must reach it through signals
        fixture.startInstalled();
        if (state >= 1) {
            fixture.deliver(DesktopFixture::contextWithoutExternal());
        }
        if (state >= 2) {
            fixture.deliver(DesktopFixture::officeContext());
        }

        QCOMPARE(window.interfacesView().showsNone(), none);
        QCOMPARE(window.addressesView().showsNone(), none);
        QCOMPARE(window.interfacesModel().rowCount(), interfaces);
        QCOMPARE(window.addressesModel().rowCount(), addresses);
        if (!none) {
            QCOMPARE(window.addressesView().externalIPv4Shown(), externalIPv4);
            QCOMPARE(window.addressesView().externalIPv6Shown(), QStringLiteral("Unknown"));
        }
        QCOMPARE(window.machineModel().value(QStringLiteral("Location:")), location);
        QCOMPARE(window.machineView().shownValue(4), location);
        QCOMPARE(window.agentModel().value(QStringLiteral("Registered:")), QStringLiteral("Yes"));
        QCOMPARE(window.agentModel().value(QStringLiteral("Last presence check")) != u"Never", checked);
        QCOMPARE(window.agentModel().value(QStringLiteral("Last presence sent")) != u"Never", state == 2);
        QCOMPARE(window.agentModel().value(QStringLiteral("Last check-in:")) != u"Never", true);
    }

    void neverBeforeTheFirstCheckin()
    {
        DesktopFixture fixture;
        StatusWindow window(fixture.agent());
        for (const char* label : {"Last check-in:", "Last presence check", "Last presence sent"}) {
            QCOMPARE(window.agentModel().value(QString::fromLatin1(label)), QStringLiteral("Never"));
        }
        QCOMPARE(window.agentModel().value(QStringLiteral("Registered:")), QStringLiteral("No"));
        QCOMPARE(window.agentModel().value(QStringLiteral("Agent Id:")), fixture.settings().agentIdentifier());
    }

    void timesInTheUsersLocale_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("shown");
        QTest::newRow("en_US") << QLocale(QLocale::English, QLocale::UnitedStates) << QStringLiteral("3/2/26 10:00 AM");
        QTest::newRow("de_DE") << QLocale(QLocale::German, QLocale::Germany) << QStringLiteral("02.03.26 10:00");
    }

    void timesInTheUsersLocale()
    {
        QFETCH(QLocale, locale);
        QFETCH(QString, shown);
        const QLocale previous;
        QLocale::setDefault(locale);
        DesktopFixture fixture;
        fixture.configure();
        StatusWindow window(fixture.agent());
        fixture.checkin();
        QCOMPARE(window.agentModel().value(QStringLiteral("Last check-in:")).replace(QChar(0x202F), u' '), shown);
        QLocale::setDefault(previous);
    }

    void machineTab()
    {
        DesktopFixture fixture;
        StatusWindow window(fixture.agent());
        QCOMPARE(window.machineModel().value(QStringLiteral("Machine name:")), QStringLiteral("desk-42"));
        QCOMPARE(window.machineModel().value(QStringLiteral("Serial number:")), QStringLiteral("PF3XK2LM"));
        QCOMPARE(window.machineModel().value(QStringLiteral("Device type:")), QStringLiteral("ThinkPad T14 Gen 3"));
        QCOMPARE(window.machineModel().value(QStringLiteral("User name:")), loginName());
        // The tab and the "Device type:" line draw the same device symbol (a notebook here).
        const QIcon laptop = symbolIcon(QStringLiteral("macbook"));
        QCOMPARE(iconImage(window.tabs().tabIcon(StatusWindow::machineTab)), iconImage(laptop));
        const QModelIndex deviceType = window.machineModel().index(2, 1);
        QCOMPARE(iconImage(deviceType.data(Qt::DecorationRole).value<QIcon>()), iconImage(laptop));
        QVERIFY(!iconImage(laptop).isNull());
    }

    void conditionLines_data()
    {
        using T = FingerprintConditionType;
        QTest::addColumn<FingerprintCondition>("condition");
        QTest::addColumn<QString>("line");
        const FingerprintConditionArgument hostport{QStringLiteral("hostport"), QStringLiteral("printer.lan:9100")};
        const FingerprintConditionArgument range{QStringLiteral("cidrRange"), QStringLiteral("10.0.0.0/8")};
        // clang-format off
        QTest::newRow("ping without address") << condition(T::ping, {}) << "Ping ???";
        QTest::newRow("connection with only hostport") << condition(T::connection, {hostport})
            << "Content at printer.lan:9100 contains ???";
        QTest::newRow("first of two arguments") << condition(T::externalIp, {range, {"cidrRange", "1.2.3.0/24"}})
            << "External IP in 10.0.0.0/8";
        // clang-format on
    }

    void conditionLines()
    {
        QFETCH(FingerprintCondition, condition);
        QFETCH(QString, line);
        QCOMPARE(fingerprinttree::conditionText(condition), line);
    }

    void locationLines_data()
    {
        QTest::addColumn<LocationPoint>("point");
        QTest::addColumn<QString>("text");
        QTest::newRow("only locationId") << LocationPoint{QStringLiteral("L1"), {}, {}, {}} << QStringLiteral("L1::: ");
        QTest::newRow("without level") << LocationPoint{QStringLiteral("HQ"),
                                                        {},
                                                        QStringLiteral("East"),
                                                        QStringLiteral("12")}
                                       << QStringLiteral("HQ::East:12 ");
    }

    void locationLines()
    {
        QFETCH(LocationPoint, point);
        QFETCH(QString, text);
        QCOMPARE(fingerprinttree::locationText(point), text);
    }

    void emptyFingerprintFile()
    {
        const FingerprintFile empty{{}, 12, QDateTime::currentDateTimeUtc()};
        QCOMPARE(fingerprinttree::versionText(empty), QStringLiteral("Fingerprint file version: 12"));
        QVERIFY(fingerprinttree::nodes(empty).empty());
    }

    void fingerprintBrowser()
    {
        DesktopFixture fixture;
        fixture.configure();
        StatusWindow window(fixture.agent());
        QVERIFY(window.fingerprintsView().showsNone());
        fixture.startInstalled();
        QVERIFY(!window.fingerprintsView().showsNone());
        QCOMPARE(window.fingerprintsView().heading(), QStringLiteral("Fingerprint file version: 7"));

        const ItemTreeModel& model = window.fingerprintsModel();
        QCOMPARE(model.rowCount(), 2);
        const QModelIndex office = model.index(0, 0);
        QCOMPARE(office.data().toString(), QStringLiteral("name: Office\nLocation: HQ:3:East: "));
        QCOMPARE(model.index(1, 0).data().toString(), QStringLiteral("name: Home\nLocation: Home::: "));
        QCOMPARE(model.rowCount(office), 2); // one block per rule, one line per condition
        QCOMPARE(model.rowCount(model.index(1, 0, office)), 2);
        const QModelIndex ping = model.index(0, 1, model.index(1, 0, office));
        QCOMPARE(model.index(0, 0, model.index(1, 0, office)).data().toString(), QStringLiteral("Ping ???"));
        QCOMPARE(ping.data().toString(), QStringLiteral("Inverted"));
        QCOMPARE(ping.data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Checked);

        // The or-condition shows its text and none of its nested rules, and no box.
        const QModelIndex homeRule = model.index(0, 0, model.index(1, 0));
        const QModelIndex orCondition = model.index(1, 0, homeRule);
        QCOMPARE(orCondition.data().toString(), QStringLiteral("Or Condition"));
        QCOMPARE(model.rowCount(orCondition), 0);
        QVERIFY(!model.index(1, 1, homeRule).data(Qt::CheckStateRole).isValid());

        // A click on the box changes neither the box nor the agent's file.
        window.tabs().setCurrentIndex(StatusWindow::fingerprintsTab);
        window.show();
        QTreeView& tree = window.fingerprintsView().tree();
        const QRect cell = tree.visualRect(ping);
        QVERIFY(cell.isValid());
        for (int x = cell.left() + 2; x < cell.left() + 40; x += 6) {
            QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, QPoint(x, cell.center().y()));
        }
        QTest::keyClick(tree.viewport(), Qt::Key_Space);
        QCOMPARE(ping.data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Checked);
        QVERIFY(!const_cast<ItemTreeModel&>(model).setData(ping, Qt::Unchecked, Qt::CheckStateRole));
        QVERIFY(!(model.flags(ping) & Qt::ItemIsUserCheckable));
        QVERIFY(fixture.agent().fingerprintFile()->fingerprints[0].rules[1].conditions[0].inverted);
    }

    void evaluationTab()
    {
        DesktopFixture fixture;
        fixture.configure();
        StatusWindow window(fixture.agent());
        QVERIFY(window.evaluationView().showsNone());
        fixture.startInstalled();
        fixture.deliver(DesktopFixture::officeContext());

        QVERIFY(window.evaluationView().heading().endsWith(QStringLiteral("Matched: Office")));
        const ItemTreeModel& model = window.evaluationModel();
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(model.index(0, 1).data().toString(), QStringLiteral("matched"));
        QCOMPARE(model.index(1, 1).data().toString(), QStringLiteral("not matched"));
        const QModelIndex lan = model.index(0, 0, model.index(0, 0));
        QCOMPARE(model.index(0, 0, lan).data().toString(), QStringLiteral("Internal IP in 10.1.0.0/16"));
        QVERIFY(model.index(0, 1, lan).data().toString().startsWith(QStringLiteral("true")));
        QVERIFY(model.index(0, 2, lan).data().toString().contains(QStringLiteral("10.1.0.5")));
        // Unlike the browser, the explanation lists the nested rules of an "or".
        const QModelIndex orCondition = model.index(1, 0, model.index(0, 0, model.index(1, 0)));
        QCOMPARE(orCondition.data().toString(), QStringLiteral("Or Condition"));
        QCOMPARE(model.rowCount(orCondition), 1);
    }
};

int main(int argc, char* argv[])
{
    qputenv("TZ", "UTC");
    QApplication app(argc, argv);
    ViewsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ViewsTest.moc"

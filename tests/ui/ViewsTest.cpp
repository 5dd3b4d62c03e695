#include "DesktopFixture.h"

#include "common/AppInfo.h"
#include "core/UserState.h"
#include "ui/DesktopApplication.h"
#include "ui/FingerprintTree.h"
#include "ui/ItemTreeView.h"
#include "ui/LabelValueView.h"
#include "ui/NetworkTableView.h"
#include "ui/StatusRows.h"
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

QImage iconImage(const QIcon& icon) { return icon.pixmap(16, 16).toImage(); }

} // namespace

class ViewsTest : public QObject {
    Q_OBJECT

private slots:
    void menuRows_data()
    {
        QTest::addColumn<bool>("configured");
        QTest::addColumn<QString>("managed");
        QTest::addColumn<bool>("located");
        QTest::addColumn<QString>("allowQuit"); // empty: absent
        QTest::addColumn<QStringList>("rows");  // the information rows; "$user" stands for the login name
        const QString nowhere = QStringLiteral("Not determined");
        // clang-format off
        QTest::newRow("no message, login name, nowhere, quit absent") << true << "" << false << ""
                                                                      << QStringList{"$user", nowhere};
        QTest::newRow("message set") << false << "" << false << "" << QStringList{"Not configured", "$user", nowhere};
        QTest::newRow("managed user name") << true << R"({"username": "jdoe"})" << false << ""
                                           << QStringList{"jdoe", nowhere};
        QTest::newRow("empty managed user name: login name") << true << R"({"username": ""})" << false << ""
                                                             << QStringList{"$user", nowhere};
        QTest::newRow("location set") << true << "" << true << "" << QStringList{"$user", "Office"};
        QTest::newRow("allowQuit false") << true << "" << false << "false" << QStringList{"$user", nowhere};
        QTest::newRow("allowQuit true") << true << "" << false << "true" << QStringList{"$user", nowhere};
        // clang-format on
    }

    void menuRows()
    {
        QFETCH(bool, configured);
        QFETCH(QString, managed);
        QFETCH(bool, located);
        QFETCH(QString, allowQuit);
        QFETCH(QStringList, rows);
        rows.replaceInStrings(QStringLiteral("$user"), loginName());
        // The commands with their shortcuts; only they are enabled.
        const QMap<QString, QString> commands{
            {"Show window", "Ctrl+W"}, {"Refresh", "Ctrl+R"}, {"Quit Nerova Agent", "Ctrl+Q"}};
        rows << QStringLiteral("Show window") << QStringLiteral("Refresh");
        if (allowQuit == u"true") {
            rows << QStringLiteral("Quit Nerova Agent");
        }
        rows << QStringLiteral("Version %1-%2").arg(appVersion(), appBuild());

        DesktopFixture fixture;
        TrayMenu menu(fixture.agent(), {[] {}, [] {}});
        if (configured) {
            fixture.configure();
        }
        if (!managed.isEmpty()) {
            fixture.setManaged(managed.toUtf8());
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
        QStringList texts;
        for (const QAction* action : menu.actions()) {
            if (!action->isSeparator()) {
                texts << action->text();
                QCOMPARE(action->isEnabled(), commands.contains(action->text()));
                QCOMPARE(action->shortcut(), QKeySequence(commands.value(action->text())));
            }
        }
        QCOMPARE(texts, rows);
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

    // Show window on an open window only raises it, on the tab it shows; closing hides, and
    // showing again brings back the same window.
    void showWindowWhileOpenOnlyRaises()
    {
        DesktopFixture fixture;
        DesktopApplication desktop(fixture.agent(), [] {});
        StatusWindow& window = desktop.window();
        ShowCounter counter;
        window.installEventFilter(&counter);
        QVERIFY(!window.isVisible());
        desktop.menu().action(TrayMenuRow::Kind::showWindow)->trigger();
        window.tabs().setCurrentIndex(StatusWindow::fingerprintsTab);
        desktop.menu().action(TrayMenuRow::Kind::showWindow)->trigger();
        QVERIFY(window.isVisible());
        QCOMPARE(counter.shows, 1);
        window.close();
        QVERIFY(!window.isVisible());
        desktop.showWindow();
        QVERIFY(window.isVisible());
        QCOMPARE(counter.shows, 2);
        QCOMPARE(window.tabs().currentIndex(), int(StatusWindow::fingerprintsTab));
    }

    void tabs_data()
    {
        QTest::addColumn<int>("state"); // 0 not configured, 1 file installed, 2 without external address, 3 located
        QTest::addColumn<int>("rows");  // interfaces and addresses listed; -1: "None"
        QTest::addColumn<QString>("externalIPv4");
        QTest::addColumn<QString>("location");
        QTest::addColumn<int>("times"); // how many of check-in, presence check and presence sent show a time
        // clang-format off
        QTest::newRow("not configured") << 0 << -1 << "" << "Not determined" << 0;
        QTest::newRow("before the first context") << 1 << -1 << "" << "Not determined" << 1;
        QTest::newRow("no external address") << 2 << 1 << "Unknown" << "Not determined" << 2;
        QTest::newRow("at the office") << 3 << 2 << "203.0.113.7" << "Office" << 3;
        // clang-format on
    }

    // A damaged settings file cannot keep a new identifier: the window makes none up (and writes
    // nothing over the file).
    void damagedSettingsShowNoIdentifier()
    {
        DesktopFixture fixture;
        const QByteArray garbage = "[General\nagentID\n";
        QFile file(fixture.settings().userFile());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(garbage) == garbage.size());
        file.close();
        QCOMPARE(agentRows(fixture.agent()).front().value, QString());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), garbage);
    }

    void tabs()
    {
        QFETCH(int, state);
        QFETCH(int, rows);
        QFETCH(QString, externalIPv4);
        QFETCH(QString, location);
        QFETCH(int, times);

        DesktopFixture fixture;
        if (state >= 1) {
            fixture.configure();
        }
        StatusWindow window(fixture.agent()); // built first: what follows must reach it through signals
        if (state >= 1) {
            fixture.startInstalled();
        }
        if (state >= 2) {
            fixture.deliver(DesktopFixture::contextWithoutExternal());
        }
        if (state >= 3) {
            fixture.deliver(DesktopFixture::officeContext());
        }
        QCOMPARE(window.interfacesView().showsNone(), rows < 0);
        QCOMPARE(window.addressesView().showsNone(), rows < 0);
        QCOMPARE(window.interfacesModel().rowCount(), std::max(rows, 0));
        QCOMPARE(window.addressesModel().rowCount(), std::max(rows, 0));
        if (rows >= 0) {
            QCOMPARE(window.addressesView().externalIPv4Shown(), externalIPv4);
            QCOMPARE(window.addressesView().externalIPv6Shown(), QStringLiteral("Unknown"));
        }
        QCOMPARE(window.machineModel().value(QStringLiteral("Location:")), location);
        QCOMPARE(window.machineView().shownValue(4), location);
        const LabelValueModel& agent = window.agentModel();
        QCOMPARE(agent.value(QStringLiteral("Registered:")), QString::fromLatin1(state >= 1 ? "Yes" : "No"));
        QCOMPARE(agent.value(QStringLiteral("Agent Id:")), fixture.settings().agentIdentifier());
        const QStringList labels{"Last check-in:", "Last presence check", "Last presence sent"};
        for (qsizetype i = 0; i < labels.size(); ++i) {
            QCOMPARE(agent.value(labels[i]) != u"Never", i < times);
        }
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
        const std::pair<const char*, QString> rows[] = {{"Machine name:", "desk-42"},
                                                        {"Serial number:", "PF3XK2LM"},
                                                        {"Device type:", "ThinkPad T14 Gen 3"},
                                                        {"User name:", loginName()}};
        for (const auto& [label, value] : rows) {
            QCOMPARE(window.machineModel().value(QString::fromLatin1(label)), value);
        }
        // The tab and the "Device type:" line draw the same device symbol (a notebook here).
        const QImage laptop = iconImage(symbolIcon(QStringLiteral("macbook")));
        QVERIFY(!laptop.isNull());
        QCOMPARE(iconImage(window.tabs().tabIcon(StatusWindow::machineTab)), laptop);
        QCOMPARE(iconImage(window.machineModel().index(2, 1).data(Qt::DecorationRole).value<QIcon>()), laptop);
    }

    // Missing arguments show as "???", the first of two arguments counts, absent location parts
    // stay empty between their colons.
    void browserTexts()
    {
        using T = FingerprintConditionType;
        const auto condition = [](T type, std::vector<FingerprintConditionArgument> arguments) {
            return fingerprinttree::conditionText(FingerprintCondition{type, std::move(arguments), {}, false});
        };
        QCOMPARE(condition(T::ping, {}), QStringLiteral("Ping ???"));
        QCOMPARE(condition(T::connection, {{"hostport", "printer.lan:9100"}}),
                 QStringLiteral("Content at printer.lan:9100 contains ???"));
        QCOMPARE(condition(T::externalIp, {{"cidrRange", "10.0.0.0/8"}, {"cidrRange", "1.2.3.0/24"}}),
                 QStringLiteral("External IP in 10.0.0.0/8"));
        QCOMPARE(fingerprinttree::locationText({"L1", {}, {}, {}}), QStringLiteral("L1::: "));
        QCOMPARE(fingerprinttree::locationText({"HQ", {}, "East", "12"}), QStringLiteral("HQ::East:12 "));
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

        // Clicks on the box and Space change neither the box nor the agent's file.
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

#include "DesktopFixture.h"

#include "agent/UserState.h"
#include "common/AppInfo.h"
#include "ui/ActivityTableModel.h"
#include "ui/ActivityView.h"
#include "ui/Appearance.h"
#include "ui/DesktopApplication.h"
#include "ui/EvaluationTree.h"
#include "ui/ItemTreeModel.h"
#include "ui/ItemTreeView.h"
#include "ui/LabelValueModel.h"
#include "ui/LabelValueView.h"
#include "ui/NetworkTableModel.h"
#include "ui/NetworkTableView.h"
#include "ui/PrivacyModel.h"
#include "ui/PrivacyView.h"
#include "ui/StatusRows.h"
#include "ui/SymbolIcon.h"
#include "ui/Translations.h"

#include <QAccessible>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeView>

using namespace nerova;
using namespace nerova::test;

namespace {

const QString nowhere = QStringLiteral("Not determined");

// The window's part named `name`: its tabs, a tab's view ("agentView") or model ("agentModel").
template <typename T>
T& part(const StatusWindow& window, const char* name)
{
    T* found = window.findChild<T*>(QLatin1String(name));
    return found ? *found : throw std::runtime_error(std::string("the window has no ") + name);
}

const QString builtTranslations = QStringLiteral(NEROVA_TRANSLATIONS_DIR);
const QString officeAgentId = QStringLiteral("3f2b8c1e-5d47-4a9e-9c21-7e0d4b6a8f13");

// The desktop agent at the office for Jane Doe, who may quit and pause, with a request of each kind
// in the activity record.
struct OfficeScene {
    DesktopFixture fixture;
    DesktopApplication desktop{fixture.agent(), [] {}};

    OfficeScene()
    {
        fixture.configure();
        fixture.setManaged(R"({"username": "Jane Doe", "allowPause": true})");
        fixture.settings().setFlag(QString::fromLatin1(settingskey::allowQuit), true);
        fixture.settings().setText(QString::fromLatin1(settingskey::agentID), officeAgentId);
        fixture.startInstalled();
        fixture.deliver(DesktopFixture::officeContext());
        ActivityRecord& record = *fixture.agent().activityRecord();
        record.record(ActivityRequest::registration, ActivityOutcome::accepted, {});
        record.record(ActivityRequest::completion, ActivityOutcome::failed, {});
        record.record(ActivityRequest::checkin, ActivityOutcome::refused, {});
        record.record(ActivityRequest::download, ActivityOutcome::notModified, {});
    }
};

// Every text of the menu (its submenu too), as it opens.
QStringList menuTexts(TrayMenu& menu)
{
    emit menu.aboutToShow();
    QStringList texts;
    for (const QAction* action : menu.actions()) {
        texts << action->text();
        for (const QAction* inner : action->menu() ? action->menu()->actions() : QList<QAction*>()) {
            texts << inner->text();
        }
    }
    return texts;
}

// Every text of the window: tab titles, table and tree headers, labels, the items of the two trees
// (but what the tests observed) and the request and outcome of each activity.
QStringList windowTexts(const StatusWindow& window)
{
    QStringList texts;
    const auto& tabs = *window.findChild<QTabWidget*>(QStringLiteral("tabs"));
    for (int tab = 0; tab < tabs.count(); ++tab) {
        texts << tabs.tabText(tab);
    }
    for (const QHeaderView* header : window.findChildren<QHeaderView*>()) {
        for (int section = 0; header->orientation() == Qt::Horizontal && section < header->count(); ++section) {
            texts << header->model()->headerData(section, Qt::Horizontal).toString();
        }
    }
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        texts << label->text();
    }
    const std::function<void(const QAbstractItemModel&, const QModelIndex&)> walk = [&](const auto& model,
                                                                                        const auto& parent) {
        for (int row = 0; row < model.rowCount(parent); ++row) {
            texts << model.index(row, 0, parent).data().toString() << model.index(row, 1, parent).data().toString();
            walk(model, model.index(row, 0, parent));
        }
    };
    walk(*window.findChild<ItemTreeModel*>(QStringLiteral("fingerprintsModel")), {});
    walk(*window.findChild<ItemTreeModel*>(QStringLiteral("evaluationModel")), {});
    const auto& activity = *window.findChild<ActivityTableModel*>(QStringLiteral("activityModel"));
    for (int row = 0; row < activity.rowCount(); ++row) {
        texts << activity.index(row, 1).data().toString() << activity.index(row, 2).data().toString();
    }
    return texts;
}

// What the menu and the windows show: at the office (also while paused), and not configured.
QStringList shownTexts()
{
    OfficeScene office;
    TrayMenu& menu = office.desktop.menu();
    QStringList texts = menuTexts(menu);
    menu.action(TrayMenuRow::Kind::pauseForAnHour)->trigger();
    texts << menuTexts(menu) << windowTexts(office.desktop.window());
    DesktopFixture fixture;
    fixture.settings().setText(QString::fromLatin1(settingskey::agentID), officeAgentId);
    DesktopApplication unconfigured(fixture.agent(), [] {});
    fixture.agent().checkin(); // ends at once: nothing is configured
    return texts << menuTexts(unconfigured.menu()) << windowTexts(unconfigured.window());
}

struct PolicyRow {
    PrivacyFacts facts;
    QStringList shown; // hours, pause, precision
    QString link;      // the markup of the link; empty: the notice, if any, as plain text
};

QPalette darkPalette()
{
    QPalette palette;
    for (auto [role, colour] : {std::pair{QPalette::Window, "#353535"},
                                {QPalette::WindowText, "#eeeeec"},
                                {QPalette::Base, "#242424"},
                                {QPalette::AlternateBase, "#2d2d2d"},
                                {QPalette::Text, "#eeeeec"},
                                {QPalette::Button, "#353535"},
                                {QPalette::ButtonText, "#eeeeec"},
                                {QPalette::Highlight, "#3584e4"},
                                {QPalette::HighlightedText, "#ffffff"}}) {
        palette.setColor(role, QColor(colour));
    }
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor("#919190"));
    return palette;
}

// Sets the application's palette and font for one test, and puts them back.
struct Look {
    Look(bool dark, double fontScale) : palette(QApplication::palette()), font(QApplication::font())
    {
        if (dark) {
            QApplication::setPalette(darkPalette());
        }
        QFont scaled = font;
        scaled.setPointSizeF(font.pointSizeF() * fontScale);
        QApplication::setFont(scaled);
    }
    ~Look()
    {
        QApplication::setPalette(palette);
        QApplication::setFont(font);
    }
    QPalette palette;
    QFont font;
};

// How well a drawing (with transparency) reads over `background`. Accessibility guidelines ask the
// parts needed to make out a symbol to contrast 3:1 with what surrounds them. The drawing's
// footprint is the pixels it covers at least half; a pixel contrasts when its colour laid over the
// background has 3:1 with the background. What contrasts is what the eye sees of the symbol:
// `contrasting` is its share of the footprint (a hairline halo that antialiasing greys away counts
// for little), `extent` how much of the footprint's width and height it spans (the smaller of the
// two shares), so that the whole pin shows, by its own edge or by its outline.
struct Legibility {
    double contrasting = 0, extent = 0;
};

Legibility legibility(const QImage& drawing, const QColor& background)
{
    const QImage image = drawing.convertToFormat(QImage::Format_ARGB32); // straight, not premultiplied
    QRect footprint, seen;
    int covered = 0, contrasting = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            const double alpha = qAlpha(pixel) / 255.0;
            if (alpha < 0.5) {
                continue;
            }
            ++covered;
            footprint |= QRect(x, y, 1, 1);
            const auto mix = [&](int over, int under) { return int(std::lround(over * alpha + under * (1 - alpha))); };
            const QColor shown(mix(qRed(pixel), background.red()), mix(qGreen(pixel), background.green()),
                               mix(qBlue(pixel), background.blue()));
            if (contrastRatio(shown, background) >= 3.0) {
                ++contrasting;
                seen |= QRect(x, y, 1, 1);
            }
        }
    }
    if (!covered) {
        return {};
    }
    return {double(contrasting) / covered,
            std::min(double(seen.width()) / footprint.width(), double(seen.height()) / footprint.height())};
}

// The widgets that take the focus with Tab, from the window's tab bar on, in the order Tab visits them.
QList<QWidget*> tabOrder(QWidget& window)
{
    auto* bar = window.findChild<QTabBar*>();
    bar->setFocus(Qt::TabFocusReason);
    QList<QWidget*> order{bar};
    for (int step = 0; step < 30; ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        if (QApplication::focusWidget() == bar || !QApplication::focusWidget()) {
            break;
        }
        order << QApplication::focusWidget();
    }
    return order;
}

struct TabsRow {
    int state; // 0 not configured, 1 file installed, 2 without external address, 3 located
    int rows;  // interfaces and addresses listed; -1: "None"
    QString externalIPv4, location;
    QLocale locale;
    QString time; // of check-in, presence check and presence sent: as many as `state`
};

} // namespace

class ViewsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("TZ", "UTC");
        QApplication::setApplicationDisplayName(QStringLiteral("Nerova Agent"));
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void menuRows_data()
    {
        QTest::addColumn<bool>("located");
        QTest::newRow("message set, empty managed user name: login name, nowhere, quit absent") << false;
        QTest::newRow("managed user name, location set, allowQuit true") << true;
    }

    // Only the commands are enabled, with their shortcuts; Quit stops the agent, then quits.
    void menuRows()
    {
        QFETCH(bool, located);
        DesktopFixture fixture;
        QStringList quits;
        QSignalSpy stopped(&fixture.agent(), &Agent::stopped);
        DesktopApplication desktop(fixture.agent(), [&] { quits << (stopped.isEmpty() ? "running" : "stopped"); });
        QStringList rows{"Not configured", loginName(), nowhere, "Show window", "Refresh"};
        if (located) {
            fixture.configure();
            fixture.setManaged(R"({"username": "Jane Doe"})");
            fixture.settings().setFlag(QString::fromLatin1(settingskey::allowQuit), true);
            fixture.settings().setText(QString::fromLatin1(settingskey::agentID),
                                       QStringLiteral("3f2b8c1e-5d47-4a9e-9c21-7e0d4b6a8f13"));
            fixture.startInstalled();
            fixture.deliver(DesktopFixture::officeContext());
            rows = QStringList{"Jane Doe", "Office", "Show window", "Refresh", "Quit Nerova Agent"};
        } else {
            fixture.setManaged(R"({"username": ""})");
            fixture.agent().checkin(); // ends at once: nothing is configured
        }
        // The menu follows the agent's signals, and reads the settings again when it opens.
        TrayMenu& menu = desktop.menu();
        emit menu.aboutToShow();
        rows << QStringLiteral("Version %1-%2").arg(appVersion(), appBuild());
        const QMap<QString, QString> commands{
            {"Show window", "Ctrl+W"}, {"Refresh", "Ctrl+R"}, {"Quit Nerova Agent", "Ctrl+Q"}};
        QStringList texts;
        for (const QAction* action : menu.actions()) {
            if (!action->isSeparator()) {
                texts << action->text();
                QCOMPARE(action->isEnabled(), commands.contains(action->text()));
                QCOMPARE(action->shortcut(), QKeySequence(commands.value(action->text())));
            }
        }
        QCOMPARE(texts, rows);
        // Show window on an open window keeps its tab; closed, it hides until shown again, on that tab.
        StatusWindow& window = desktop.window();
        QTabWidget& tabs = part<QTabWidget>(window, "tabs");
        QVERIFY(!window.isVisible());
        menu.action(TrayMenuRow::Kind::showWindow)->trigger();
        tabs.setCurrentIndex(StatusWindow::fingerprintsTab);
        menu.action(TrayMenuRow::Kind::showWindow)->trigger();
        QVERIFY(window.isVisible());
        window.close();
        QVERIFY(!window.isVisible());
        desktop.showWindow();
        QVERIFY(window.isVisible());
        QCOMPARE(tabs.currentIndex(), int(StatusWindow::fingerprintsTab));
        if (!located) {
            return;
        }
        menu.action(TrayMenuRow::Kind::quit)->trigger();
        QCOMPARE(quits, QStringList{"stopped"});
    }

    void translations_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<bool>("translated");
        QTest::newRow("German") << "de_DE" << true;
        QTest::newRow("French") << "fr_FR" << true;
        QTest::newRow("English after German: the source texts") << "en_US" << false;
        QTest::newRow("unknown language after German: the source texts") << "xx" << false;
    }

    // Under a German or French locale no text of the menu and the window stays English, but for the
    // few words that the languages share and the names and values that come from the agent; every
    // tab title shows whole at the window's size. English and unknown languages show the source
    // texts, whatever was installed before.
    void translations()
    {
        QFETCH(QString, locale);
        QFETCH(bool, translated);
        static const QStringList english = shownTexts(); // before any translation is installed
        installTranslations(QLocale(QLocale::German), builtTranslations);
        // An unknown language is the C locale: the times keep the English form, to compare with.
        const QLocale chosen(locale);
        QLocale::setDefault(chosen.language() == QLocale::C ? QLocale(QLocale::English, QLocale::UnitedStates)
                                                            : chosen);
        QCOMPARE(installTranslations(chosen, builtTranslations), translated);
        const QStringList shown = shownTexts();
        QCOMPARE(shown.size(), english.size());
        if (!translated) {
            QCOMPARE(shown, english);
        }
        const QStringList shared{"Agent",       "Gateway",
                                 "Interfaces",  "Wi-Fi",
                                 "Jane Doe",    "Office",
                                 "Home",        "desk-42",
                                 "PF3XK2LM",    "ThinkPad T14 Gen 3",
                                 "203.0.113.7", loginName(),
                                 officeAgentId, "DELL U2720Q (display:DEL-a0c4-4c4b3231)",
                                 "Office LAN",  "Printer",
                                 "Home network"};
        QStringList untranslated;
        for (qsizetype i = 0; translated && i < shown.size(); ++i) {
            if (!english[i].isEmpty() && shown[i] == english[i] && !shared.contains(english[i]) &&
                !english[i].startsWith(QStringLiteral("Version "))) {
                untranslated << english[i];
            }
        }
        QVERIFY2(untranslated.isEmpty(), qPrintable(untranslated.join(QStringLiteral(" | "))));

        DesktopFixture fixture;
        StatusWindow window(fixture.agent());
        window.present();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QTabBar& bar = *part<QTabWidget>(window, "tabs").tabBar();
        for (int tab = 0; tab < bar.count(); ++tab) {
            const int needed = bar.fontMetrics().horizontalAdvance(bar.tabText(tab)) +
                               (bar.tabIcon(tab).isNull() ? 0 : bar.iconSize().width());
            QVERIFY2(bar.tabRect(tab).width() >= needed && bar.rect().contains(bar.tabRect(tab)),
                     qPrintable(bar.tabText(tab)));
        }
        for (const QToolButton* scroll : bar.findChildren<QToolButton*>()) {
            QVERIFY(!scroll->isVisible());
        }
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        installTranslations(QLocale(), builtTranslations);
    }

    // With NEROVA_SCREENSHOTS set to a directory, saves the menu and every tab of the window there as
    // the README's pictures, in light and dark palettes and in German (scripts/screenshots).
    void screenshots()
    {
        const QString directory = qEnvironmentVariable("NEROVA_SCREENSHOTS");
        if (directory.isEmpty()) {
            return;
        }
        const QPalette light = QApplication::palette();
        const QLocale us(QLocale::English, QLocale::UnitedStates), de(QLocale::German, QLocale::Germany);
        const std::tuple<const char*, bool, QLocale> looks[] = {
            {"", false, us}, {"-dark", true, us}, {"-de", false, de}};
        for (const auto& [suffix, dark, locale] : looks) {
            QLocale::setDefault(locale);
            installTranslations(locale, builtTranslations);
            QApplication::setPalette(dark ? darkPalette() : light);
            OfficeScene office;
            const auto save = [&](QWidget& widget, const QString& name) {
                QVERIFY2(QDir().mkpath(directory) && widget.grab().save(directory + u'/' + name + suffix + ".png"),
                         qPrintable(name));
            };
            TrayMenu& menu = office.desktop.menu();
            emit menu.aboutToShow();
            menu.adjustSize();
            save(menu, QStringLiteral("menu"));
            StatusWindow& window = office.desktop.window();
            window.resize(std::max(window.width(), 720), 480); // never narrower than its tab titles
            window.present();
            QTabWidget& tabs = part<QTabWidget>(window, "tabs");
            const char* names[] = {"agent",        "machine",    "interfaces", "addresses",
                                   "fingerprints", "evaluation", "activity",   "privacy"};
            for (int tab = 0; tab < tabs.count(); ++tab) {
                tabs.setCurrentIndex(tab);
                QApplication::processEvents();
                save(window, QStringLiteral("window-") + names[tab]);
            }
        }
        QApplication::setPalette(light);
        QLocale::setDefault(us);
        installTranslations(us, builtTranslations);
    }

    void privacyTab_data()
    {
        QTest::addColumn<PolicyRow>("row");
        const auto facts = [](std::optional<QString> hours, std::optional<QString> pause,
                              std::optional<QString> precision, std::optional<QString> url) {
            return PrivacyFacts{"https://presence.example.com/api", std::nullopt, hours, pause, precision, url};
        };
        QTest::newRow("nothing set: the defaults, no notice")
            << PolicyRow{facts({}, {}, {}, {}), {"any time", "not allowed", "place"}, ""};
        QTest::newRow("values as set, an https notice as an escaped link") << PolicyRow{
            facts("Mon-Fri 07:00-19:00, Sat 09:00-13:00", "true", "zone", "https://intranet.example/privacy?a=1&b=2"),
            {"Mon-Fri 07:00-19:00, Sat 09:00-13:00", "allowed", "zone"},
            "<a "
            "href=\"https://intranet.example/privacy?a=1&amp;b=2\">https://intranet.example/privacy?a=1&amp;b=2</a>"};
        QTest::newRow("markup in the values is text, an address that would leave the link is none")
            << PolicyRow{facts("<b>Mon</b> 09:00-17:00", "FALSE", "<i>level</i>", "http://x.example/\"><img src=x>"),
                         {"<b>Mon</b> 09:00-17:00", "not allowed", "<i>level</i>"},
                         ""};
        for (const char* url : {"javascript:alert(1)", "file:///etc/passwd", "https://", "<a href=x>y</a>"}) {
            QTest::newRow(url) << PolicyRow{
                facts("Sat 09:00-13:00", "maybe", "place", url), {"Sat 09:00-13:00", "maybe", "place"}, ""};
        }
    }

    // The policy values as set, or the defaults; the notice a link only to a web address, and
    // nothing from the settings taken for markup.
    void privacyTab()
    {
        QFETCH(PolicyRow, row);
        PrivacyModel model([&] { return row.facts; });
        QStringList shown;
        for (const LabelValueRow& policy : model.policy()) {
            shown << policy.value;
        }
        QCOMPARE(shown, row.shown);
        QCOMPARE(model.linkMarkup(), row.link);
        QVERIFY(model.sections().at(1).text.contains(QStringLiteral("service at presence.example.com:")));
        QVERIFY(model.sections().at(1).text.contains(QStringLiteral("public address at api.ipify.org")));
        const PrivacyView view(model);
        const auto* notice = view.findChild<QLabel*>(QStringLiteral("noticeLink"));
        QCOMPARE(notice != nullptr, row.facts.privacyNoticeUrl.has_value());
        if (notice) {
            QCOMPARE(notice->textFormat(), row.link.isEmpty() ? Qt::PlainText : Qt::RichText);
            QCOMPARE(notice->text(), row.link.isEmpty() ? *row.facts.privacyNoticeUrl : row.link);
        }
        for (const QLabel* label : view.findChildren<QLabel*>()) {
            QVERIFY(label == notice || label->textFormat() == Qt::PlainText);
        }

        // In the window: the last tab, on the settings' service address, read again on showing.
        DesktopFixture fixture;
        StatusWindow window(fixture.agent());
        const QTabWidget& tabs = part<QTabWidget>(window, "tabs");
        QCOMPARE(tabs.count(), int(StatusWindow::privacyTab) + 1);
        QCOMPARE(tabs.tabText(StatusWindow::privacyTab), QStringLiteral("Privacy"));
        const auto& privacy = part<PrivacyModel>(window, "privacyModel");
        QVERIFY(privacy.sections().at(1).text.contains(QStringLiteral("(its address is not set yet)")));
        fixture.configure();
        window.present(StatusWindow::privacyTab);
        QCOMPARE(tabs.currentIndex(), int(StatusWindow::privacyTab));
        QVERIFY(privacy.sections().at(1).text.contains(QStringLiteral("service at 127.0.0.1:")));
        // Values the agent cannot use are shown as the agent applies them.
        fixture.setManaged(R"({"reportingHours": "Mon-Fry 9-17", "allowPause": "yes", "reportPrecision": "desk"})");
        window.hide();
        window.present(StatusWindow::privacyTab);
        QStringList applied;
        for (const LabelValueRow& policy : privacy.policy()) {
            applied << policy.value;
        }
        QCOMPARE(applied, QStringList({"any time (the policy's value cannot be used)", "not allowed", "location"}));
    }

    // With "allowPause", the menu offers a pause (a submenu) and then its end; while the agent does
    // not report, what stands in for the location says why.
    void pauseAndReportingHoursInTheMenu()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        DesktopFixture fixture;
        DesktopApplication desktop(fixture.agent(), [] {});
        fixture.configure();
        fixture.setManaged(R"({"allowPause": true, "reportingHours": "Mon-Fri 07:00-19:00"})");
        fixture.startInstalled();
        fixture.deliver(DesktopFixture::officeContext());
        TrayMenu& menu = desktop.menu();
        const auto rows = [&menu] {
            emit menu.aboutToShow();
            QStringList texts;
            for (const QAction* action : menu.actions()) {
                if (!action->isSeparator()) {
                    texts << action->text().replace(QChar(0x202F), u' ');
                }
            }
            return texts.mid(1, 4); // from the location to the pause
        };
        QCOMPARE(rows(), QStringList({"Office", "Show window", "Refresh", "Pause reporting"}));
        QCOMPARE(menu.action(TrayMenuRow::Kind::pauseUntilTomorrow)->text(), QStringLiteral("Until tomorrow"));
        menu.action(TrayMenuRow::Kind::pauseForAnHour)->trigger();
        QCOMPARE(rows(),
                 QStringList({"Reporting paused until 3/2/26 11:00 AM", "Show window", "Refresh", "Resume reporting"}));
        menu.action(TrayMenuRow::Kind::resume)->trigger();
        QCOMPARE(rows(), QStringList({"Office", "Show window", "Refresh", "Pause reporting"}));
        fixture.setManaged(R"({"reportingHours": "Sat 09:00-13:00"})");
        fixture.agent().checkTimeOfDay();
        QCOMPARE(rows(), QStringList({"Outside reporting hours", "Show window", "Refresh", "Version %1-%2"})
                             .replaceInStrings(QStringLiteral("%1-%2"), appVersion() + u'-' + appBuild()));
    }

    void tabs_data()
    {
        QTest::addColumn<TabsRow>("row");
        const QLocale us(QLocale::English, QLocale::UnitedStates), de(QLocale::German, QLocale::Germany);
        QTest::newRow("not configured, damaged settings file") << TabsRow{0, -1, "", nowhere, us, ""};
        QTest::newRow("before the first context") << TabsRow{1, -1, "", nowhere, us, "3/2/26 10:00 AM"};
        QTest::newRow("no external address") << TabsRow{2, 1, "Unknown", nowhere, de, "02.03.26 10:00"};
        QTest::newRow("at the office") << TabsRow{3, 2, "203.0.113.7", "Office", de, "02.03.26 10:00"};
        QTest::newRow("markup from the lookup service shown as it came")
            << TabsRow{3, 2, "<b>203.0.113.7</b>", "Office", us, "3/2/26 10:00 AM"};
    }

    // The times in the user's locale; the machine tab and the "Device type:" line draw the same
    // device symbol (a notebook here). A damaged settings file cannot keep a new identifier: the
    // window makes none up (and writes nothing over the file).
    void tabs()
    {
        QFETCH(TabsRow, row);
        const auto& [state, rows, externalIPv4, location, locale, time] = row;
        QLocale::setDefault(locale);
        DesktopFixture fixture;
        const QByteArray damaged = "[General\nagentID\n";
        if (state >= 1) {
            fixture.configure();
        } else {
            writeFile(fixture.settings().userFile(), damaged);
        }
        StatusWindow window(fixture.agent()); // built first: what follows must reach it through signals
        const auto& addressesView = part<NetworkTableView>(window, "addressesView");
        const auto& machine = part<LabelValueModel>(window, "machineModel");
        if (state >= 1) {
            fixture.startInstalled();
        }
        if (state >= 2) {
            fixture.deliver({std::nullopt,
                             {{AddressType::IPv4, "wlan0", "192.168.7.5"}},
                             std::nullopt,
                             {{"wlan0", "a4:c3:f0:85:ac:2d"}}});
        }
        if (state >= 3) {
            NetworkContext office = DesktopFixture::officeContext();
            office.externalIPv4 = externalIPv4;
            fixture.deliver(office);
        }
        QCOMPARE(part<NetworkTableView>(window, "interfacesView").showsNone(), rows < 0);
        QCOMPARE(addressesView.showsNone(), rows < 0);
        QCOMPARE(part<NetworkTableModel>(window, "interfacesModel").rowCount(), std::max(rows, 0));
        QCOMPARE(part<NetworkTableModel>(window, "addressesModel").rowCount(), std::max(rows, 0));
        if (rows >= 0) {
            QCOMPARE(addressesView.externalIPv4Shown(), externalIPv4);
            QCOMPARE(addressesView.externalIPv6Shown(), QStringLiteral("Unknown"));
        }
        const LabelValueModel& agent = part<LabelValueModel>(window, "agentModel");
        QCOMPARE(agent.value(QStringLiteral("Registered:")), QString::fromLatin1(state >= 1 ? "Yes" : "No"));
        QCOMPARE(agent.value(QStringLiteral("Agent Id:")), state >= 1 ? fixture.settings().agentIdentifier() : "");
        QFile file(fixture.settings().userFile());
        QVERIFY(state >= 1 || (file.open(QIODevice::ReadOnly) && file.readAll() == damaged));
        const QStringList labels{"Last check-in:", "Last presence check", "Last presence sent"};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(agent.value(labels[i]).replace(QChar(0x202F), u' '), i < state ? time : QStringLiteral("Never"));
        }
        const std::pair<const char*, QString> facts[] = {{"Machine name:", "desk-42"},
                                                         {"Serial number:", "PF3XK2LM"},
                                                         {"Device type:", "ThinkPad T14 Gen 3"},
                                                         {"User name:", loginName()},
                                                         {"Location:", location}};
        for (const auto& [label, value] : facts) {
            QCOMPARE(machine.value(QString::fromLatin1(label)), value);
        }
        QCOMPARE(part<LabelValueView>(window, "machineView").shownValue(4), location);
        // The evidence of the office's snapshot: its gateway and Wi-Fi network by interface, its monitor.
        const auto& interfaces = part<NetworkTableModel>(window, "interfacesModel");
        const bool office = state >= 3;
        QCOMPARE(interfaces.index(0, 2).data().toString(), office ? "10.1.0.1 (02:00:5e:10:00:09)" : "");
        QCOMPARE(interfaces.index(1, 3).data().toString(), office ? "Office (02:00:5e:10:00:0a)" : "");
        QCOMPARE(machine.value(QStringLiteral("Peripherals:")),
                 office ? "DELL U2720Q (display:DEL-a0c4-4c4b3231)" : "None");
        for (const QLabel* label : window.findChildren<QLabel*>()) { // no value is taken for markup
            QVERIFY2(label->textFormat() == Qt::PlainText || !Qt::mightBeRichText(label->text()),
                     qPrintable(label->text()));
        }
        const QImage laptop = iconImage(symbolIcon(QStringLiteral("macbook")));
        QVERIFY(!laptop.isNull());
        QCOMPARE(iconImage(part<QTabWidget>(window, "tabs").tabIcon(StatusWindow::machineTab)), laptop);
        QCOMPARE(iconImage(machine.index(2, 1).data(Qt::DecorationRole).value<QIcon>()), laptop);
    }

    void fingerprintAndEvaluationTabs()
    {
        DesktopFixture fixture;
        fixture.configure();
        StatusWindow window(fixture.agent());
        const auto& fingerprints = part<ItemTreeView>(window, "fingerprintsView");
        const auto& evaluation = part<ItemTreeView>(window, "evaluationView");
        QVERIFY(fingerprints.showsNone());
        QVERIFY(evaluation.showsNone());
        fixture.startInstalled();
        QVERIFY(!fingerprints.showsNone());
        QCOMPARE(fingerprints.heading(), QStringLiteral("Fingerprint file version: 7"));

        // Absent location parts stay empty between their colons; a missing argument shows as "???".
        const ItemTreeModel& file = part<ItemTreeModel>(window, "fingerprintsModel");
        const QModelIndex office = file.index(0, 0);
        QCOMPARE(office.data().toString(), QStringLiteral("name: Office\nLocation: HQ:3:East: "));
        QCOMPARE(file.index(1, 0).data().toString(), QStringLiteral("name: Home\nLocation: Home::: "));
        const QModelIndex printer = file.index(1, 0, office);
        QCOMPARE(file.rowCount(printer), 2); // one block per rule, one line per condition
        QCOMPARE(file.index(0, 0, printer).data().toString(), QStringLiteral("Ping ???"));
        // The box shows the flag; the user cannot tick it.
        const QModelIndex ping = file.index(0, 1, printer);
        QCOMPARE(ping.data().toString(), QStringLiteral("Inverted"));
        QCOMPARE(ping.data(Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Checked);
        QVERIFY(!(file.flags(ping) & Qt::ItemIsUserCheckable));
        // The or-condition shows its text and none of its nested rules, and no box.
        const QModelIndex homeRule = file.index(0, 0, file.index(1, 0));
        QCOMPARE(file.index(1, 0, homeRule).data().toString(), QStringLiteral("Or Condition"));
        QCOMPARE(file.rowCount(file.index(1, 0, homeRule)), 0);
        QVERIFY(!file.index(1, 1, homeRule).data(Qt::CheckStateRole).isValid());

        fixture.deliver(DesktopFixture::officeContext());
        QVERIFY(evaluation.heading().endsWith(QStringLiteral("Matched: Office")));
        const ItemTreeModel& model = part<ItemTreeModel>(window, "evaluationModel");
        QCOMPARE(model.index(0, 1).data().toString(), QStringLiteral("matched"));
        QCOMPARE(model.index(1, 1).data().toString(), QStringLiteral("not matched"));
        const QModelIndex lan = model.index(0, 0, model.index(0, 0));
        QCOMPARE(model.index(0, 0, lan).data().toString(), QStringLiteral("Internal IP in 10.1.0.0/16"));
        QVERIFY(model.index(0, 1, lan).data().toString().startsWith(QStringLiteral("true")));
        QVERIFY(model.index(0, 2, lan).data().toString().contains(QStringLiteral("10.1.0.5")));
        QCOMPARE(model.index(0, 2, lan).data(Qt::ToolTipRole), model.index(0, 2, lan).data()); // read whole
        // Unlike the browser, the explanation lists the nested rules of an "or".
        const QModelIndex orCondition = model.index(1, 0, model.index(0, 0, model.index(1, 0)));
        QCOMPARE(orCondition.data().toString(), QStringLiteral("Or Condition"));
        QCOMPARE(model.rowCount(orCondition), 1);
    }

    void trayIcon_data()
    {
        QTest::addColumn<bool>("located");
        QTest::addColumn<QColor>("panel");
        QTest::addColumn<int>("size");
        for (const bool located : {true, false}) {
            for (const char* panel : {"#f6f5f4", "#353535"}) {
                for (const int size : {16, 22, 24, 32}) {
                    QTest::addRow("%s, %s panel, %d px", located ? "located" : "no location", panel, size)
                        << located << QColor(panel) << size;
                }
            }
        }
    }

    // The pin reads on light and dark panels alike: the whole pin, by its fill or its outline,
    // contrasts 3:1 with the panel.
    void trayIcon()
    {
        QFETCH(bool, located);
        QFETCH(QColor, panel);
        QFETCH(int, size);
        const QImage drawing = nerova::trayIcon(located).pixmap(size, size).toImage();
        QCOMPARE(drawing.size(), QSize(size, size));
        const Legibility seen = legibility(drawing, panel);
        QVERIFY2(seen.contrasting >= 0.4 && seen.extent >= 0.6,
                 qPrintable(QStringLiteral("contrasting %1, extent %2").arg(seen.contrasting).arg(seen.extent)));
    }

    void keyboard_data()
    {
        QTest::addColumn<bool>("inMenu");
        QTest::addColumn<bool>("allowQuit");
        QTest::addColumn<QKeyCombination>("key");
        QTest::addColumn<QString>("outcome"); // "shown", "hidden", "refreshed", "quit", "tab N", "nothing"
        const auto row = [](const char* name, bool inMenu, bool allowQuit, QKeyCombination key, const char* outcome) {
            QTest::newRow(name) << inMenu << allowQuit << key << QString::fromLatin1(outcome);
        };
        const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
        row("menu: Ctrl+W shows the window", true, false, ctrl | Qt::Key_W, "shown");
        row("menu: Ctrl+R refreshes", true, false, ctrl | Qt::Key_R, "refreshed");
        row("menu: Ctrl+Q quits where allowed", true, true, ctrl | Qt::Key_Q, "quit");
        row("menu: no Ctrl+Q where not allowed", true, false, ctrl | Qt::Key_Q, "nothing");
        row("window: Ctrl+W closes", false, false, ctrl | Qt::Key_W, "hidden");
        row("window: Escape closes", false, false, QKeyCombination(Qt::Key_Escape), "hidden");
        row("window: Ctrl+R refreshes", false, false, ctrl | Qt::Key_R, "refreshed");
        row("window: Ctrl+Q quits where allowed", false, true, ctrl | Qt::Key_Q, "quit");
        row("window: no Ctrl+Q where not allowed", false, false, ctrl | Qt::Key_Q, "nothing");
        row("window: Ctrl+PgDn", false, false, ctrl | Qt::Key_PageDown, "tab 2");
        row("window: Ctrl+PgUp", false, false, ctrl | Qt::Key_PageUp, "tab 0");
        row("window: Ctrl+Tab", false, false, ctrl | Qt::Key_Tab, "tab 2");
        row("window: Ctrl+Shift+Tab", false, false, ctrl | Qt::ShiftModifier | Qt::Key_Backtab, "tab 0");
        row("window: Ctrl+PgUp from the first tab to the last", false, false, ctrl | Qt::Key_PageUp, "tab 7");
    }

    // The shortcuts the menu shows work in the open menu and in the window, whatever has the focus
    // there (here the Interfaces table; the tab keys start from the Machine tab, or the first).
    void keyboard()
    {
        QFETCH(bool, inMenu);
        QFETCH(bool, allowQuit);
        QFETCH(QKeyCombination, key);
        QFETCH(QString, outcome);
        DesktopFixture fixture;
        fixture.settings().setFlag(QString::fromLatin1(settingskey::allowQuit), allowQuit);
        int quits = 0;
        DesktopApplication desktop(fixture.agent(), [&] { ++quits; });
        StatusWindow& window = desktop.window();
        auto& tabs = part<QTabWidget>(window, "tabs");
        const int refreshes = fixture.refreshes();
        QWidget* target = nullptr;
        if (inMenu) {
            TrayMenu& menu = desktop.menu();
            menu.popup(QPoint(10, 10));
            QVERIFY(QTest::qWaitForWindowExposed(&menu));
            target = &menu;
        } else {
            desktop.showWindow();
            QVERIFY(QTest::qWaitForWindowActive(&window));
            tabs.setCurrentIndex(QTest::currentDataTag() ==
                                         QByteArray("window: Ctrl+PgUp from the first tab to the last")
                                     ? StatusWindow::agentTab
                                     : StatusWindow::machineTab);
            target = window.findChild<QWidget*>(QStringLiteral("interfacesView"));
            target->setFocus();
        }
        QTest::keyClick(target, key.key(), key.keyboardModifiers());
        if (outcome.startsWith(QStringLiteral("tab "))) {
            QCOMPARE(tabs.currentIndex(), outcome.mid(4).toInt());
            return;
        }
        QCOMPARE(window.isVisible(), inMenu ? outcome == QStringLiteral("shown") : outcome != QStringLiteral("hidden"));
        QCOMPARE(fixture.refreshes() - refreshes, outcome == QStringLiteral("refreshed") ? 1 : 0);
        QCOMPARE(quits, outcome == QStringLiteral("quit") ? 1 : 0);
    }

    // Tab visits what takes the focus in the order it is read: top to bottom, left to right.
    void focusOrder()
    {
        DesktopFixture fixture;
        fixture.configure();
        StatusWindow window(fixture.agent());
        fixture.startInstalled();
        fixture.deliver(DesktopFixture::officeContext());
        window.present(StatusWindow::agentTab);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto& tabs = part<QTabWidget>(window, "tabs");
        const QList<int> stops{6, 7, 2, 4, 2, 2, 2, 2}; // the tab bar and what each tab offers
        for (int tab = 0; tab < tabs.count(); ++tab) {
            tabs.setCurrentIndex(tab);
            const QList<QWidget*> order = tabOrder(window);
            QCOMPARE(order.size(), stops[tab]);
            for (int i = 1; i < order.size(); ++i) {
                const QRect before(order[i - 1]->mapTo(&window, QPoint()), order[i - 1]->size());
                const QRect after(order[i]->mapTo(&window, QPoint()), order[i]->size());
                QVERIFY2(after.top() >= before.bottom() ||
                             (after.top() == before.top() && after.left() > before.left()),
                         qPrintable(tabs.tabText(tab) + QStringLiteral(", stop %1").arg(i)));
            }
        }
    }

    void screenReader_data()
    {
        QTest::addColumn<int>("tab");
        QTest::addColumn<int>("viewRole"); // of the tab's table or tree; 0: none
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("value"); // read with `label`
        QTest::newRow("Agent") << int(StatusWindow::agentTab) << 0 << "Registered:"
                               << "Yes";
        QTest::newRow("Machine") << int(StatusWindow::machineTab) << 0 << "Machine name:"
                                 << "desk-42";
        QTest::newRow("Interfaces") << int(StatusWindow::interfacesTab) << int(QAccessible::Table) << ""
                                    << "";
        QTest::newRow("Addresses") << int(StatusWindow::addressesTab) << int(QAccessible::Table)
                                   << "External IPv4 address:"
                                   << "203.0.113.7";
        QTest::newRow("Fingerprints") << int(StatusWindow::fingerprintsTab) << int(QAccessible::Tree) << ""
                                      << "";
        QTest::newRow("Evaluation") << int(StatusWindow::evaluationTab) << int(QAccessible::Tree) << ""
                                    << "";
        QTest::newRow("Activity") << int(StatusWindow::activityTab) << int(QAccessible::Table) << ""
                                  << "";
        QTest::newRow("Privacy") << int(StatusWindow::privacyTab) << 0 << "Pause:"
                                 << "not allowed";
    }

    // What a screen reader finds: a named frame in the application "Nerova Agent", tables and trees
    // named after their tab, each value labelled by its label.
    void screenReader()
    {
        QFETCH(int, tab);
        QFETCH(int, viewRole);
        QFETCH(QString, label);
        QFETCH(QString, value);
        DesktopFixture fixture;
        fixture.configure();
        StatusWindow window(fixture.agent());
        fixture.startInstalled();
        fixture.deliver(DesktopFixture::officeContext());
        window.present(StatusWindow::Tab(tab));
        QAccessibleInterface* frame = QAccessible::queryAccessibleInterface(&window);
        QCOMPARE(frame->role(), QAccessible::Window);
        QCOMPARE(frame->text(QAccessible::Name), QStringLiteral("Nerova Agent"));
        QCOMPARE(QAccessible::queryAccessibleInterface(qApp)->text(QAccessible::Name), QStringLiteral("Nerova Agent"));
        QWidget* page = part<QTabWidget>(window, "tabs").widget(tab);
        QList<QAbstractItemView*> views = page->findChildren<QAbstractItemView*>();
        views.removeIf([](QAbstractItemView* view) { return qobject_cast<QHeaderView*>(view) != nullptr; });
        QCOMPARE(views.size(), viewRole ? 1 : 0);
        for (QAbstractItemView* view : views) {
            QAccessibleInterface* shown = QAccessible::queryAccessibleInterface(view);
            QCOMPARE(int(shown->role()), viewRole);
            QCOMPARE(shown->text(QAccessible::Name), QString::fromLatin1(QTest::currentDataTag()));
        }
        if (label.isEmpty()) {
            return;
        }
        QLabel* labelWidget = nullptr;
        for (QLabel* candidate : page->findChildren<QLabel*>()) {
            labelWidget = candidate->text() == label ? candidate : labelWidget;
        }
        QVERIFY(labelWidget && labelWidget->buddy());
        QAccessibleInterface* valueInterface = QAccessible::queryAccessibleInterface(labelWidget->buddy());
        QCOMPARE(valueInterface->text(QAccessible::Name), value);
        const auto labels = valueInterface->relations(QAccessible::Label);
        QCOMPARE(labels.size(), 1);
        QCOMPARE(labels[0].first->text(QAccessible::Name), label);
    }

    void themes_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::addColumn<double>("fontScale");
        QTest::newRow("light, default font") << false << 1.0;
        QTest::newRow("dark, default font") << true << 1.0;
        QTest::newRow("dark, font twice as large") << true << 2.0;
        QTest::newRow("light, font twice as large") << false << 2.0;
    }

    // Under light and dark palettes and at twice the font size: every tab title shows whole at the
    // window's first size; the pins of the Evaluation tab and the "Inverted" boxes, ticked or not,
    // contrast 3:1 with the view's base.
    void themes()
    {
        QFETCH(bool, dark);
        QFETCH(double, fontScale);
        const Look look(dark, fontScale);
        DesktopFixture fixture;
        StatusWindow window(fixture.agent());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QTabBar& bar = *part<QTabWidget>(window, "tabs").tabBar();
        QVERIFY2(bar.sizeHint().width() <= bar.width(),
                 qPrintable(QStringLiteral("%1 > %2").arg(bar.sizeHint().width()).arg(bar.width())));
        QVERIFY(bar.tabRect(bar.count() - 1).right() <= bar.width());

        const QColor base = QApplication::palette().color(QPalette::Base);
        for (const char* pin : {"location.fill", "location.slash.fill"}) {
            const QIcon icon = symbolIcon(QString::fromLatin1(pin));
            QVERIFY2(legibility(iconImage(icon), base).contrasting >= 0.5, pin);
        }

        ItemTreeModel model({QStringLiteral("Condition"), QStringLiteral("Inverted")}, 1);
        model.setNodes({{{QString(), QString()}, false, {}, false, {}}, {{QString(), QString()}, true, {}, false, {}}});
        ItemTreeView view(model);
        view.setHeading(QString());
        view.resize(300, 200);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const QTreeView& tree = view.tree();
        const auto cell = [&](int row) {
            return tree.viewport()->grab(tree.visualRect(model.index(row, 1))).toImage();
        };
        const QImage unticked = cell(0), ticked = cell(1);
        QVERIFY(legibility(unticked, base).contrasting > 0);
        QImage mark = ticked.convertToFormat(QImage::Format_ARGB32); // where the tick differs from the empty box
        for (int y = 0; y < mark.height(); ++y) {
            for (int x = 0; x < mark.width(); ++x) {
                if (mark.pixel(x, y) == unticked.pixel(x, y)) {
                    mark.setPixel(x, y, 0);
                }
            }
        }
        QVERIFY(legibility(mark, base).contrasting >= 0.5);
    }

    // The agent's record, newest first, a new entry on top as it is recorded, under
    // the line that says what is not recorded.
    void activityTab()
    {
        DesktopFixture fixture;
        ActivityRecord& record = *fixture.agent().activityRecord();
        record.record(ActivityRequest::checkin, ActivityOutcome::refused, QStringLiteral("status 503; version 7"));
        StatusWindow window(fixture.agent());
        const auto& tabs = part<QTabWidget>(window, "tabs");
        QCOMPARE(tabs.tabText(StatusWindow::activityTab), QStringLiteral("Activity"));
        QCOMPARE(tabs.widget(StatusWindow::activityTab), &part<ActivityView>(window, "activityView"));
        QCOMPARE(part<QLabel>(window, "activityNote").text(), QString::fromLatin1(ActivityView::notRecorded));
        const auto& model = part<ActivityTableModel>(window, "activityModel");
        QCOMPARE(model.rowCount(), 1);
        record.record(ActivityRequest::presence, ActivityOutcome::accepted,
                      QStringLiteral("Office (office) HQ/3\x1b[2J"));
        const auto row = [&model](int row) {
            QStringList cells;
            for (int column = 0; column < model.columnCount(); ++column) {
                cells << model.index(row, column).data().toString();
            }
            return cells;
        };
        QCOMPARE(row(0), QStringList({"2026-03-02 10:00:00", "presence", "accepted", "Office (office) HQ/3\\x1b[2J"}));
        QCOMPARE(row(1), QStringList({"2026-03-02 10:00:00", "check-in", "refused", "status 503; version 7"}));
    }

    // What was cancelled once another fingerprint had matched reads "not needed", not "undecided".
    void evaluationNotNeeded()
    {
        const ConditionEvaluation ping{
            FingerprintConditionType::ping, {{"address", "gw"}}, false, {}, {}, {}, {}, {}, {}, false};
        const RulesEngineEvaluation evaluation{{{"lab", "Lab", {}, {{"Main", {}, {ping}, false}}, false}}};
        const std::vector<ItemNode> nodes = evaluationNodes(evaluation);
        const ItemNode& rule = nodes.at(0).children.at(0);
        QCOMPARE((QStringList{nodes[0].columns[1], rule.columns[1], rule.children.at(0).columns[1]}),
                 QStringList(3, QStringLiteral("not needed")));
    }
};

QTEST_MAIN(ViewsTest)

#include "ViewsTest.moc"

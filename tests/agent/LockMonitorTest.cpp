// The lock monitor's rules with scripted event sources and a manual clock: the lock state follows
// the signals only, and only the first click of each local day while unlocked is kept.
#include "agent/LockMonitor.h"
#include "common/Clock.h"

#include <QSignalSpy>
#include <QTest>

#include <ctime>

using namespace nerova;

namespace {

// Hands the monitor's handlers to the test and records whether the registrations still live.
class ScriptedSources final : public LockEventSources {
public:
    struct Registration final : EventRegistration {
        explicit Registration(int& live) : live_(live) { ++live_; }
        ~Registration() override { --live_; }
        int& live_;
    };

    Handler locked, unlocked, clicked;
    bool clickMonitorAvailable = true;
    int live = 0;

    std::vector<std::unique_ptr<EventRegistration>> addLockObservers(Handler onLocked, Handler onUnlocked) override
    {
        locked = std::move(onLocked);
        unlocked = std::move(onUnlocked);
        std::vector<std::unique_ptr<EventRegistration>> registrations;
        registrations.push_back(std::make_unique<Registration>(live));
        registrations.push_back(std::make_unique<Registration>(live));
        return registrations;
    }

    std::unique_ptr<EventRegistration> addGlobalClickMonitor(Handler onClicked, QString& whyNot) override
    {
        if (!clickMonitorAvailable) {
            whyNot = QStringLiteral("no input to watch");
            return nullptr;
        }
        clicked = std::move(onClicked);
        return std::make_unique<Registration>(live);
    }
};

} // namespace

class LockMonitorTest : public QObject {
    Q_OBJECT

    const QDateTime start_ = QDateTime(QDate(2026, 3, 10), QTime(14, 0), Qt::UTC);

private slots:
    void init()
    {
        qputenv("TZ", "UTC0");
        tzset();
    }

    void rules_data()
    {
        QTest::addColumn<QStringList>("steps"); // "lock", "unlock", "click", "+N" (minutes on the clock), "TZ=..."
        QTest::addColumn<bool>("locked");
        QTest::addColumn<int>("lockChanges");
        QTest::addColumn<int>("clickAt"); // minutes after the start (14:00 UTC) of the kept click; -1: none
        // clang-format off
        QTest::newRow("repeated lock or unlock changes nothing") << QStringList{"unlock", "lock", "lock", "unlock", "unlock", "lock"} << true << 3 << -1;
        QTest::newRow("three clicks keep the first") << QStringList{"+5", "click", "+60", "click", "+60", "click"} << false << 0 << 5;
        QTest::newRow("a click while locked is ignored") << QStringList{"lock", "click"} << true << 1 << -1;
        QTest::newRow("after midnight the first click is the new day's") << QStringList{"click", "+600", "click", "+30", "click"} << false << 0 << 600;
        // 14:00 and 16:00 UTC are one day in UTC, and 23:00 and 01:00 of two days in Tokyo.
        QTest::newRow("a time zone that moves the day is followed") << QStringList{"click", "+120", "click", "TZ=JST-9", "click"} << false << 0 << 120;
        QTest::newRow("a time zone that keeps the day changes nothing") << QStringList{"click", "+120", "TZ=EST5", "click"} << false << 0 << 0;
        // clang-format on
    }

    void rules()
    {
        QFETCH(QStringList, steps);
        QFETCH(bool, locked);
        QFETCH(int, lockChanges);
        QFETCH(int, clickAt);
        ManualClock clock(start_);
        auto owned = std::make_unique<ScriptedSources>();
        ScriptedSources& sources = *owned;
        LockMonitor monitor(clock, std::move(owned));
        QTRY_VERIFY(monitor.hasMouseMonitor());
        QSignalSpy lockSpy(&monitor, &LockMonitor::isScreenLockedChanged);
        QSignalSpy clickSpy(&monitor, &LockMonitor::lastMouseClickChanged);
        for (const QString& step : steps) {
            if (step.startsWith(u'+')) {
                clock.advance(step.mid(1).toLongLong() * 60'000);
            } else if (step.startsWith(u"TZ=")) {
                qputenv("TZ", step.mid(3).toUtf8());
                tzset();
            } else {
                (step == u"lock" ? sources.locked : step == u"unlock" ? sources.unlocked : sources.clicked)();
            }
        }
        QCOMPARE(monitor.isScreenLocked(), locked);
        QCOMPARE(lockSpy.size(), lockChanges);
        const QDateTime expected = clickAt < 0 ? LockState::distantPast() : start_.addSecs(clickAt * 60);
        QCOMPARE(monitor.lastMouseClick(), expected);
        QCOMPARE(clickSpy.isEmpty() ? LockState::distantPast() : clickSpy.last().first().toDateTime(), expected);
    }

    // Without a click source, or detached before its monitor is installed, no click monitor is
    // left; detaching ends every registration.
    void detach_data()
    {
        QTest::addColumn<bool>("clickSource");
        QTest::newRow("no click source") << false;
        QTest::newRow("detached before the click monitor is installed") << true;
    }
    void detach()
    {
        QFETCH(bool, clickSource);
        ManualClock clock(start_);
        auto owned = std::make_unique<ScriptedSources>();
        ScriptedSources& sources = *owned;
        sources.clickMonitorAvailable = clickSource;
        if (!clickSource) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("no input to watch"));
        }
        LockMonitor monitor(clock, std::move(owned));
        QCOMPARE(sources.live, 2);
        if (clickSource) {
            monitor.detach();
        }
        QCoreApplication::processEvents(); // where the click source would be installed
        QVERIFY(!monitor.hasMouseMonitor());
        monitor.detach();
        QCOMPARE(sources.live, 0);
    }
};

QTEST_GUILESS_MAIN(LockMonitorTest)

#include "LockMonitorTest.moc"

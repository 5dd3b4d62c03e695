// The session's signals as the monitors receive them: stand-in logind, screen-saver and idle-monitor
// services on private buses (tests/agent/with-private-buses.sh), and real clicks on an Xvfb display.
#include "agent/LockMonitor.h"
#include "common/Clock.h"
#include "network/NetworkChangeSource.h"
#include "platform/linux/SystemSources_linux.h"
#include "support/TestSupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QMutex>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QThread>

using namespace nerova;

namespace {

const QString ourSession = QStringLiteral("/org/freedesktop/login1/session/_31");
const QString otherSession = QStringLiteral("/org/freedesktop/login1/session/_32");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");

// logind's manager, as far as the monitor asks it: our process belongs to session "1".
class StandInLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public slots:
    QDBusObjectPath GetSessionByPID(uint) { return QDBusObjectPath(ourSession); }
};

// The compositor's idle monitor: hands out watch ids (1, 2, ...) and remembers what was asked of
// it. It answers on the stand-in thread, the test reads it on the main thread.
class StandInIdleMonitor : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.Mutter.IdleMonitor")

public:
    QStringList calls() const
    {
        const QMutexLocker lock(&mutex_);
        return calls_;
    }

public slots:
    uint AddUserActiveWatch() { return record(QStringLiteral("active")); }
    uint AddIdleWatch(qulonglong interval) { return record(QStringLiteral("idle %1").arg(interval)); }
    void RemoveWatch(uint id) { record(QStringLiteral("remove %1").arg(id)); }

private:
    uint record(const QString& call)
    {
        const QMutexLocker lock(&mutex_);
        calls_ << call;
        return calls_.count(QStringLiteral("active")) + calls_.filter(QStringLiteral("idle ")).size();
    }

    mutable QMutex mutex_;
    QStringList calls_;
};

void emitSignal(QDBusConnection bus, const QString& path, const QString& interface, const QString& name,
                const QVariantList& arguments)
{
    QDBusMessage message = QDBusMessage::createSignal(path, interface, name);
    message.setArguments(arguments);
    QVERIFY(bus.send(message));
}

void emitSessionProperty(QDBusConnection bus, const QString& path, const QString& interface, const QString& property,
                         bool value)
{
    emitSignal(bus, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"),
               {interface, QVariantMap{{property, value}}, QStringList{}});
}

} // namespace

class SessionSignalsTest : public QObject {
    Q_OBJECT

    QDBusConnection system_ = QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("stand-in"));
    QDBusConnection session_ =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("stand-in-session"));
    // The monitor asks logind with blocking calls, so the stand-ins answer on a thread of their own.
    QThread standIns_;
    StandInLogind* logind_ = new StandInLogind; // deleted on its thread when that ends
    const SystemClock clock_;

    // One lock signal from the named source: "hint" (LockedHint), "logind" (Lock or Unlock),
    // "freedesktop" and "gnome" (ActiveChanged), and two that are not ours: "other session" and
    // "other interface" (a LockedHint of another session or interface).
    void sendLockSignal(const QString& source, bool locked)
    {
        if (source == u"logind") {
            emitSignal(system_, ourSession, sessionInterface,
                       locked ? QStringLiteral("Lock") : QStringLiteral("Unlock"), {});
        } else if (source == u"freedesktop" || source == u"gnome") {
            emitSignal(session_, QStringLiteral("/org/%1/ScreenSaver").arg(source),
                       QStringLiteral("org.%1.ScreenSaver").arg(source), QStringLiteral("ActiveChanged"), {locked});
        } else {
            emitSessionProperty(system_, source == u"other session" ? otherSession : ourSession,
                                source == u"other interface" ? QStringLiteral("org.freedesktop.login1.User")
                                                             : sessionInterface,
                                QStringLiteral("LockedHint"), locked);
        }
    }

private slots:
    void initTestCase()
    {
        if (!system_.isConnected() || !session_.isConnected()) {
            QSKIP("needs private session and system buses: run through tests/agent/with-private-buses.sh");
        }
        logind_->moveToThread(&standIns_);
        connect(&standIns_, &QThread::finished, logind_, &QObject::deleteLater);
        standIns_.start();
        QVERIFY(system_.registerObject(QStringLiteral("/org/freedesktop/login1"), logind_,
                                       QDBusConnection::ExportAllSlots));
        QVERIFY(system_.registerService(QStringLiteral("org.freedesktop.login1")));
    }

    void cleanupTestCase()
    {
        standIns_.quit();
        standIns_.wait();
    }

    void cleanup()
    {
        qunsetenv("XDG_SESSION_TYPE");
        qunsetenv("DISPLAY");
    }

    // Lock signals in order ("source:1" locks, "source:0" unlocks): those of another session or
    // interface, which are not ours, then a lock and an unlock from each source. Each of ours is
    // awaited with the exact count (the two buses do not keep their signals in order with each
    // other), so one of the first two getting through shows: they go first, on the same bus.
    void lockSignals()
    {
        LockMonitor monitor(clock_, makeSystemLockEventSources());
        QSignalSpy spy(&monitor, &LockMonitor::lockSignalled);
        qsizetype ours = 0;
        for (const QString& step : QStringList{"other session:1", "other interface:1", "logind:1", "logind:0", "hint:1",
                                               "hint:0", "freedesktop:1", "freedesktop:0", "gnome:1"}) {
            const QString source = step.section(u':', 0, 0);
            sendLockSignal(source, step.endsWith(u'1'));
            if (!source.startsWith(u"other")) {
                ++ours;
                QTRY_COMPARE(spy.size(), ours);
                QCOMPARE(monitor.isScreenLocked(), step.endsWith(u'1'));
            }
        }
    }

    // On Wayland without the compositor's idle monitor, the end of the session's idleness counts
    // as a click; the start of it does not. With the idle monitor, its user-active watch counts as
    // a click, and is armed again after the next idle period.
    void waylandClicks()
    {
        qputenv("XDG_SESSION_TYPE", "wayland");
        {
            LockMonitor monitor(clock_, makeSystemLockEventSources());
            QTRY_VERIFY(monitor.hasMouseMonitor());
            QSignalSpy seen(&monitor, &LockMonitor::mouseClickSeen);
            emitSessionProperty(system_, ourSession, sessionInterface, QStringLiteral("IdleHint"), true);
            emitSessionProperty(system_, ourSession, sessionInterface, QStringLiteral("IdleHint"), false);
            QTRY_COMPARE(seen.size(), 1);
        }
        auto* idleMonitor = new StandInIdleMonitor;
        idleMonitor->moveToThread(&standIns_);
        const QString path = QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core");
        const QString service = QStringLiteral("org.gnome.Mutter.IdleMonitor");
        QVERIFY(session_.registerObject(path, idleMonitor, QDBusConnection::ExportAllSlots));
        QVERIFY(session_.registerService(service));
        {
            LockMonitor monitor(clock_, makeSystemLockEventSources());
            QTRY_VERIFY(monitor.hasMouseMonitor());
            QSignalSpy seen(&monitor, &LockMonitor::mouseClickSeen);
            QCOMPARE(idleMonitor->calls(), QStringList{"active"});
            emitSignal(session_, path, service, QStringLiteral("WatchFired"), {1u});
            QTRY_COMPARE(idleMonitor->calls(), (QStringList{"active", "idle 60000"}));
            QCOMPARE(seen.size(), 1);
            emitSignal(session_, path, service, QStringLiteral("WatchFired"), {2u});
            QTRY_COMPARE(idleMonitor->calls(), (QStringList{"active", "idle 60000", "remove 2", "active"}));
            emitSignal(session_, path, service, QStringLiteral("WatchFired"), {3u});
            QTRY_COMPARE(seen.size(), 2);
        }
        QTRY_COMPARE(idleMonitor->calls().last(), QStringLiteral("remove 4")); // the pending idle watch
        session_.unregisterService(service);
        session_.unregisterObject(path);
        idleMonitor->deleteLater();
    }

    // Waking up from suspend asks the network monitor for a refresh; going to sleep does not.
    void resumeRequestsARefresh()
    {
        int triggers = 0;
        const std::unique_ptr<NetworkChangeSource> source = makeResumeChangeSource([&triggers] { ++triggers; });
        QVERIFY(source);
        for (int resumes = 1; resumes <= 2; ++resumes) {
            for (const bool sleeping : {true, false}) {
                emitSignal(system_, QStringLiteral("/org/freedesktop/login1"),
                           QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
                           {sleeping});
            }
            QTRY_COMPARE(triggers, resumes);
        }
    }

    // Real clicks on an X display: the left button counts, the right one does not. When the display
    // goes away, the monitor says so and the process lives on.
    void x11Clicks()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        const QString xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
        if (xvfb.isEmpty() || xdotool.isEmpty()) {
            QSKIP("needs Xvfb and xdotool (scripts/bootstrap installs them)");
        }
        QProcess server;
        server.setProcessChannelMode(QProcess::SeparateChannels);
        server.start(xvfb, {"-displayfd", "1", "-nolisten", "tcp"});
        QVERIFY(server.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(server.canReadLine(), 20000);
        const QByteArray display = ':' + server.readLine().trimmed();
        qputenv("DISPLAY", display);

        LockMonitor monitor(clock_, makeSystemLockEventSources());
        QTRY_VERIFY(monitor.hasMouseMonitor());
        QSignalSpy seen(&monitor, &LockMonitor::mouseClickSeen);
        for (const char* button : {"3", "1"}) {
            QCOMPARE(QProcess::execute(xdotool, {QStringLiteral("click"), QString::fromLatin1(button)}), 0);
        }
        // X delivers in order: once the left click is seen, the right one was passed over.
        QTRY_COMPARE(seen.size(), 1);

        const test::LogCapture log;
        server.kill();
        QVERIFY(server.waitForFinished());
        QTRY_VERIFY(
            log.all().contains(QStringLiteral("The X display closed the connection, clicks are no longer seen")));
    }
};

QTEST_GUILESS_MAIN(SessionSignalsTest)

#include "SessionSignalsTest.moc"

// A stand-in StatusNotifierWatcher for the tray tests: owns the watcher's name on the session bus,
// says that a host is present, and prints one line "registered SERVICE-OR-PATH" per registered item.

#include <QCoreApplication>
#include <QDBusConnection>

#include <cstdio>

class StandInWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered MEMBER hostRegistered)
    bool hostRegistered = true;

public slots:
    void RegisterStatusNotifierItem(const QString& service) { std::printf("registered %s\n", qPrintable(service)); }
};

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each line reaches the test at once
    StandInWatcher watcher;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) ||
        !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        std::fprintf(stderr, "stand-in watcher: cannot own the watcher's name\n");
        return 1;
    }
    std::printf("ready\n");
    return QCoreApplication::exec();
}

#include "StandInWatcher.moc"

// Renders the tray menu and every tab of the status window from a demo state into PNG files:
// nerova-screenshots OUTPUT_DIRECTORY (scripts/screenshots runs it offscreen).

#include "DesktopFixture.h"

#include "ui/DesktopApplication.h"

#include <QApplication>
#include <QDir>
#include <QTabWidget>

#include <cstdio>

using namespace nerova;

int main(int argc, char* argv[])
{
    qputenv("TZ", "UTC");
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    if (argc != 2) {
        std::fprintf(stderr, "usage: nerova-screenshots OUTPUT_DIRECTORY\n");
        return 2;
    }
    const QDir directory(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(directory.path());
    bool written = true;
    const auto save = [&](QWidget& widget, const QString& name) {
        const QString path = directory.filePath(name + QStringLiteral(".png"));
        const bool saved = widget.grab().save(path);
        std::fprintf(saved ? stdout : stderr, saved ? "%s\n" : "nerova-screenshots: cannot write %s\n",
                     qPrintable(path));
        written = written && saved;
    };

    // The demo state: enrolled, the file installed, at the office, quitting allowed, and a fixed
    // identifier, so that the pictures change only when the views do.
    test::DesktopFixture fixture;
    fixture.configure();
    fixture.setManaged(R"({"username": "Jane Doe"})");
    fixture.settings().setFlag(QString::fromLatin1(settingskey::allowQuit), true);
    fixture.settings().setText(QString::fromLatin1(settingskey::agentID),
                               QStringLiteral("3f2b8c1e-5d47-4a9e-9c21-7e0d4b6a8f13"));
    DesktopApplication desktop(fixture.agent(), [] {});
    fixture.startInstalled();
    fixture.deliver(test::DesktopFixture::officeContext());

    emit desktop.menu().aboutToShow();
    desktop.menu().adjustSize();
    save(desktop.menu(), QStringLiteral("menu"));
    StatusWindow& window = desktop.window();
    window.resize(720, 480);
    window.show();
    const char* names[] = {"agent", "machine", "interfaces", "addresses", "fingerprints", "evaluation"};
    for (int tab = 0; tab < window.tabs().count(); ++tab) {
        window.tabs().setCurrentIndex(tab);
        QApplication::processEvents();
        save(window, QStringLiteral("window-%1").arg(QString::fromLatin1(names[tab])));
    }
    return written ? 0 : 1;
}

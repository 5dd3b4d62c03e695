// Renders the tray menu and every tab of the status window from a demo state into PNG files:
// nerova-screenshots OUTPUT_DIRECTORY (scripts/screenshots runs it offscreen).

#include "DesktopFixture.h"

#include "ui/DesktopApplication.h"

#include <QApplication>
#include <QDir>
#include <QTabWidget>

#include <cstdio>

using namespace nerova;
using namespace nerova::test;

namespace {

bool save(QWidget& widget, const QDir& directory, const QString& name)
{
    const QString path = directory.filePath(name + QStringLiteral(".png"));
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "nerova-screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

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

    // The demo state: enrolled, the file installed, at the office, quitting allowed.
    DesktopFixture fixture;
    fixture.configure();
    fixture.setManaged(R"({"username": "Jane Doe"})");
    fixture.settings().setFlag(QString::fromLatin1(settingskey::allowQuit), true);
    // A fixed identifier, so that the pictures change only when the views do.
    fixture.settings().setText(QString::fromLatin1(settingskey::agentID),
                               QStringLiteral("3f2b8c1e-5d47-4a9e-9c21-7e0d4b6a8f13"));
    DesktopApplication desktop(fixture.agent(), [] {});
    fixture.startInstalled();
    fixture.deliver(DesktopFixture::officeContext());

    TrayMenu& menu = desktop.menu();
    emit menu.aboutToShow();
    menu.adjustSize();
    bool written = save(menu, directory, QStringLiteral("menu"));

    StatusWindow& window = desktop.window();
    window.resize(720, 480);
    window.show();
    const char* names[] = {"agent", "machine", "interfaces", "addresses", "fingerprints", "evaluation"};
    for (int tab = 0; tab < window.tabs().count(); ++tab) {
        window.tabs().setCurrentIndex(tab);
        QApplication::processEvents();
        written = save(window, directory, QStringLiteral("window-%1").arg(QString::fromLatin1(names[tab]))) && written;
    }
    return written ? 0 : 1;
}

#include "ui/SymbolIcon.h"

#include <QGuiApplication>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPalette>

// The drawings live in this static library's resources, which the linker does not register alone.
static void registerBundledIcons()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(ui);
        return true;
    }();
    Q_UNUSED(registered);
}

namespace nerova {

namespace {

const QHash<QString, QString>& iconNames()
{
    static const QHash<QString, QString> names{
        {QStringLiteral("exclamationmark.triangle"), QStringLiteral("dialog-warning")},
        {QStringLiteral("person.fill"), QStringLiteral("avatar-default")},
        {QStringLiteral("location.slash.fill"), QStringLiteral("location-services-disabled")},
        {QStringLiteral("location.fill"), QStringLiteral("location-services-active")},
        {QStringLiteral("key"), QStringLiteral("dialog-password")},
        {QStringLiteral("cable.connector"), QStringLiteral("network-wired")},
        {QStringLiteral("globe"), QStringLiteral("applications-internet")},
        {QStringLiteral("list.number"), QStringLiteral("view-list-details")},
        {QStringLiteral("macmini"), QStringLiteral("computer")},
        {QStringLiteral("macbook"), QStringLiteral("computer-laptop")},
        {QStringLiteral("desktopcomputer"), QStringLiteral("computer")},
        {QStringLiteral("checklist"), QStringLiteral("system-search")},
    };
    return names;
}

// A one-colour drawing painted in the palette's text colour at the moment it is drawn, so that it
// reads on light and dark themes alike (and follows a change of theme).
class PaletteIconEngine final : public QIconEngine {
public:
    explicit PaletteIconEngine(QIcon drawing) : drawing_(std::move(drawing)) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal scale = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        painter->drawPixmap(rect, scaledPixmap(rect.size(), mode, state, scale));
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return scaledPixmap(size, mode, state, 1.0);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override
    {
        QPixmap image = drawing_.pixmap(size, scale, QIcon::Normal, state);
        if (image.isNull()) {
            return image;
        }
        const QPalette palette = QGuiApplication::palette();
        const QColor ink = mode == QIcon::Disabled   ? palette.color(QPalette::Disabled, QPalette::WindowText)
                           : mode == QIcon::Selected ? palette.color(QPalette::Active, QPalette::HighlightedText)
                                                     : palette.color(QPalette::Active, QPalette::WindowText);
        QPainter painter(&image);
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(QRect(QPoint(), image.size()), ink);
        return image;
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return drawing_.actualSize(size, mode, state);
    }
    QIconEngine* clone() const override { return new PaletteIconEngine(drawing_); }
    QString key() const override { return QStringLiteral("NerovaPaletteIcon"); }

private:
    QIcon drawing_;
};

} // namespace

QString freedesktopIconName(const QString& symbol) { return iconNames().value(symbol); }

QIcon symbolIcon(const QString& symbol)
{
    registerBundledIcons();
    QIcon bundled(QStringLiteral(":/nerova/symbols/%1.svg").arg(symbol));
    if (symbol != QLatin1String("exclamationmark.triangle")) { // the warning keeps its yellow
        bundled = QIcon(new PaletteIconEngine(bundled));
    }
    const QString name = freedesktopIconName(symbol);
    return name.isEmpty() ? bundled : QIcon::fromTheme(name, bundled);
}

QIcon trayIcon(bool locationDetermined)
{
    registerBundledIcons();
    // Our own drawing, not the theme's (the panel's colours are not the window's): a dark pin in a
    // broad light outline, the pin reading on light panels, the outline on dark ones.
    return QIcon(locationDetermined ? QStringLiteral(":/nerova/symbols/tray-located.svg")
                                    : QStringLiteral(":/nerova/symbols/tray-no-location.svg"));
}

} // namespace nerova

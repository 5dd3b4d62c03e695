#include "ui/Appearance.h"

#include <QAccessibleObject>
#include <QAccessibleWidget>
#include <QApplication>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace nerova {

namespace {

double luminance(const QColor& colour)
{
    const auto linear = [](double channel) {
        return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) + 0.0722 * linear(rgb.blueF());
}

// The application object as screen readers see it, under its display name ("Nerova Agent")
// rather than the name that places its files.
class AccessibleApplication : public QAccessibleApplication {
public:
    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Name && !QGuiApplication::applicationDisplayName().isEmpty()) {
            return QGuiApplication::applicationDisplayName();
        }
        return QAccessibleApplication::text(kind);
    }
};

QAccessibleInterface* accessibleFactory(const QString& key, QObject* object)
{
    if (key == QLatin1String("QApplication") && object == qApp) {
        return new AccessibleApplication;
    }
    // A plain widget window counts as a filler ("client"); the status window is a frame.
    if (key == QLatin1String("nerova::StatusWindow") && object->isWidgetType()) {
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    }
    return nullptr;
}

} // namespace

double contrastRatio(const QColor& one, const QColor& other)
{
    const double a = luminance(one), b = luminance(other);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QFont headerFont()
{
    QFont font;
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.2);
    return font;
}

void ReadOnlyCheckDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyledItemDelegate::paint(painter, option, index);
    const QVariant state = index.data(Qt::CheckStateRole);
    if (!state.isValid()) {
        return;
    }
    QStyleOptionViewItem item(option);
    initStyleOption(&item, index);
    const QWidget* widget = option.widget;
    const QStyle* style = widget ? widget->style() : QApplication::style();
    const QRect area = style->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &item, widget);
    // A square box within the style's place for it, drawn over the style's own.
    const int side = std::min(area.width(), area.height()) - 1;
    if (side < 6) {
        return;
    }
    const QRectF box(area.x() + (area.width() - side) / 2.0, area.y() + (area.height() - side) / 2.0, side, side);
    const QPalette::ColorGroup group = (option.state & QStyle::State_Enabled) ? QPalette::Active : QPalette::Disabled;
    const QColor ink = option.palette.color(group, QPalette::Text);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(ink, 1.0));
    painter->setBrush(option.palette.color(group, QPalette::Base));
    painter->drawRoundedRect(box.adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
    if (state.value<Qt::CheckState>() != Qt::Unchecked) {
        QPainterPath mark;
        mark.moveTo(box.left() + side * 0.22, box.top() + side * 0.52);
        mark.lineTo(box.left() + side * 0.42, box.top() + side * 0.72);
        mark.lineTo(box.left() + side * 0.78, box.top() + side * 0.28);
        painter->setPen(QPen(ink, std::max(1.5, side / 7.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter->setBrush(Qt::NoBrush);
        painter->drawPath(mark);
    }
    painter->restore();
}

void installAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(accessibleFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace nerova

#pragma once

#include <QColor>
#include <QFont>
#include <QStyledItemDelegate>

namespace nerova {

// The contrast ratio of two opaque colours as the accessibility guidelines define it: from 1 (the
// same luminance) to 21 (black on white).
double contrastRatio(const QColor& one, const QColor& other);

// The font of every table and tree header of the window: a small bold title.
QFont headerFont();

// Draws the check boxes of read-only item views from the palette's text and base colours, so that
// an unticked box shows on dark themes too (some styles draw its frame in a shade of the window
// colour that vanishes on a dark base).
class ReadOnlyCheckDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// Gives screen readers what the default accessibility support leaves out: the status window is a
// frame, and the application is known by its display name. Safe to call more than once.
void installAccessibility();

} // namespace nerova

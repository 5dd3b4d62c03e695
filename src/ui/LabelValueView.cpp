#include "ui/LabelValueView.h"

#include "ui/LabelValueModel.h"
#include "ui/SymbolIcon.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace nerova {

namespace {
constexpr int iconSize = 16;
}

LabelValueView::LabelValueView(LabelValueModel& model, QWidget* parent) : QWidget(parent), model_(model)
{
    auto* outer = new QVBoxLayout(this);
    grid_ = new QGridLayout;
    grid_->setHorizontalSpacing(12);
    grid_->setVerticalSpacing(8);
    outer->addLayout(grid_);
    outer->addStretch();
    connect(&model_, &QAbstractItemModel::modelReset, this, &LabelValueView::render);
    render();
}

void LabelValueView::render()
{
    while (QLayoutItem* item = grid_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (int row = 0; row < model_.rowCount(); ++row) {
        // Values come from the service, the network and the machine: shown as they are, never as markup.
        auto* label = new QLabel(model_.index(row, 0).data().toString());
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        grid_->addWidget(label, row, 0);
        const QVariant icon = model_.index(row, 1).data(Qt::DecorationRole);
        if (icon.isValid()) {
            auto* symbol = new QLabel;
            symbol->setPixmap(icon.value<QIcon>().pixmap(iconSize, iconSize));
            grid_->addWidget(symbol, row, 1);
        }
        auto* value = new QLabel(model_.index(row, 1).data().toString());
        value->setObjectName(QStringLiteral("value%1").arg(row));
        value->setTextFormat(Qt::PlainText);
        // Reached with Tab in the order of the lines and selectable with the keyboard too; a screen
        // reader reads it with its label ("Registered: Yes").
        value->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        value->setFocusPolicy(Qt::StrongFocus);
        label->setBuddy(value);
        grid_->addWidget(value, row, 2);
    }
    grid_->setColumnStretch(2, 1);
}

QString LabelValueView::shownValue(int row) const
{
    const auto* value = findChild<QLabel*>(QStringLiteral("value%1").arg(row));
    return value ? value->text() : QString();
}

} // namespace nerova

#include "ui/PrivacyView.h"

#include "ui/PrivacyModel.h"

#include <QGridLayout>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

namespace nerova {

namespace {

QLabel* plainLabel(const QString& text, bool wrap = true)
{
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(wrap);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QLabel* headingLabel(const QString& text)
{
    QLabel* label = plainLabel(text);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

} // namespace

PrivacyView::PrivacyView(PrivacyModel& model, QWidget* parent) : QWidget(parent), model_(model)
{
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* content = new QWidget;
    column_ = new QVBoxLayout(content);
    scroll->setWidget(content);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);
    connect(&model_, &PrivacyModel::changed, this, &PrivacyView::render);
    render();
}

void PrivacyView::render()
{
    while (QLayoutItem* item = column_->takeAt(0)) {
        if (QLayout* layout = item->layout()) {
            while (QLayoutItem* inner = layout->takeAt(0)) {
                delete inner->widget();
                delete inner;
            }
        }
        delete item->widget();
        delete item;
    }
    for (const PrivacySection& section : model_.sections()) {
        column_->addWidget(headingLabel(section.heading));
        for (const QString& paragraph : section.text.split(u'\n')) { // wrapped one by one
            column_->addWidget(plainLabel(paragraph));
        }
        column_->addSpacing(8);
    }
    column_->addWidget(headingLabel(tr("Policy in force")));
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(12);
    int row = 0;
    for (const LabelValueRow& value : model_.policy()) {
        QLabel* label = plainLabel(value.label, false);
        QLabel* shown = plainLabel(value.value);
        label->setBuddy(shown); // read together by screen readers
        grid->addWidget(label, row, 0, Qt::AlignRight);
        grid->addWidget(shown, row++, 1);
    }
    if (!model_.noticeText().isEmpty()) {
        QLabel* label = plainLabel(tr("Company notice:"), false);
        grid->addWidget(label, row, 0, Qt::AlignRight);
        QLabel* notice = plainLabel(model_.noticeText());
        label->setBuddy(notice);
        if (!model_.linkMarkup().isEmpty()) { // an escaped link to a web address, nothing else
            notice->setTextFormat(Qt::RichText);
            notice->setText(model_.linkMarkup());
            notice->setTextInteractionFlags(Qt::TextBrowserInteraction);
            notice->setOpenExternalLinks(true);
        }
        notice->setObjectName(QStringLiteral("noticeLink"));
        grid->addWidget(notice, row, 1);
    }
    grid->setColumnStretch(1, 1);
    column_->addLayout(grid);
    column_->addStretch();
}

} // namespace nerova

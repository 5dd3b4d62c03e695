#include "ui/ActivityView.h"

#include "ui/ActivityTableModel.h"

#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <QVBoxLayout>

namespace nerova {

ActivityView::ActivityView(ActivityTableModel& model, QWidget* parent) : QWidget(parent)
{
    auto* column = new QVBoxLayout(this);
    auto* note = new QLabel(tr(notRecorded));
    note->setObjectName(QStringLiteral("activityNote"));
    note->setTextFormat(Qt::PlainText);
    note->setWordWrap(true);
    column->addWidget(note);
    auto* table = new QTableView;
    table->setModel(&model);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setShowGrid(false);
    table->setAlternatingRowColors(true);
    table->setWordWrap(false);
    column->addWidget(table);
}

} // namespace nerova

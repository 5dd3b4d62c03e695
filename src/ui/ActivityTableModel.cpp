#include "ui/ActivityTableModel.h"

#include "common/TerminalText.h"
#include "ui/Appearance.h"
#include "ui/Translations.h"

namespace nerova {

namespace {

enum Column { timeColumn, requestColumn, outcomeColumn, detailColumn, columns };

} // namespace

ActivityTableModel::ActivityTableModel(const ActivityRecord* record, QObject* parent) : QAbstractTableModel(parent)
{
    if (record) {
        entries_ = record->entries();
        connect(record, &ActivityRecord::recorded, this, &ActivityTableModel::add);
    }
}

void ActivityTableModel::add(const ActivityEntry& entry)
{
    beginInsertRows({}, 0, 0);
    entries_.prepend(entry);
    endInsertRows();
    if (entries_.size() > ActivityRecord::maxEntries) {
        beginRemoveRows({}, int(ActivityRecord::maxEntries), int(entries_.size()) - 1);
        entries_.resize(ActivityRecord::maxEntries);
        endRemoveRows();
    }
}

int ActivityTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(entries_.size());
}

int ActivityTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columns; }

QVariant ActivityTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= entries_.size() || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) {
        return {};
    }
    const ActivityEntry& entry = entries_.at(index.row());
    switch (index.column()) {
    case timeColumn: return entry.time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    case requestColumn: return activityRequestDisplayText(entry.request);
    case outcomeColumn: return activityOutcomeDisplayText(entry.outcome);
    case detailColumn: return printable(entry.detail);
    default: return {};
    }
}

QVariant ActivityTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal) {
        return {};
    }
    if (role == Qt::FontRole) {
        return headerFont();
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    const QStringList headers{tr("Time"), tr("Request"), tr("Outcome"), tr("Detail")};
    return headers.value(section);
}

} // namespace nerova

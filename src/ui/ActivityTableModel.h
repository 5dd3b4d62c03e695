#pragma once

#include "agent/ActivityRecord.h"

#include <QAbstractTableModel>
#include <QList>

namespace nerova {

// The requests of the activity record, newest first: time (local), request, outcome and detail.
// A new entry of the record appears at the top as it is recorded.
class ActivityTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    // `record` may be null (no rows); it is followed while both live.
    explicit ActivityTableModel(const ActivityRecord* record, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    void add(const ActivityEntry& entry);

    QList<ActivityEntry> entries_; // newest first
};

} // namespace nerova

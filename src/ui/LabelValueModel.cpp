#include "ui/LabelValueModel.h"

#include "ui/SymbolIcon.h"

namespace nerova {

LabelValueModel::LabelValueModel(std::function<std::vector<LabelValueRow>()> rows, QObject* parent)
    : QAbstractTableModel(parent), source_(std::move(rows)), rows_(source_())
{}

QString LabelValueModel::value(const QString& label) const
{
    for (const LabelValueRow& row : rows_) {
        if (row.label == label) {
            return row.value;
        }
    }
    return {};
}

void LabelValueModel::refresh()
{
    beginResetModel();
    rows_ = source_();
    endResetModel();
}

int LabelValueModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(rows_.size()); }

int LabelValueModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 2; }

QVariant LabelValueModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= int(rows_.size())) {
        return {};
    }
    const LabelValueRow& row = rows_[index.row()];
    if (role == Qt::DisplayRole) {
        return index.column() == 0 ? row.label : row.value;
    }
    if (role == Qt::DecorationRole && index.column() == 1 && !row.symbol.isEmpty()) {
        return symbolIcon(row.symbol);
    }
    return {};
}

} // namespace nerova

#include "ui/ItemTreeModel.h"

#include "ui/Appearance.h"
#include "ui/SymbolIcon.h"

#include <QFont>

namespace nerova {

ItemTreeModel::ItemTreeModel(QStringList headers, int checkColumn, QObject* parent)
    : QAbstractItemModel(parent), headers_(std::move(headers)), checkColumn_(checkColumn)
{}

void ItemTreeModel::setNodes(std::vector<ItemNode> nodes)
{
    beginResetModel();
    nodes_ = std::move(nodes);
    links_.clear();
    link(nodes_, nullptr);
    endResetModel();
}

void ItemTreeModel::link(const std::vector<ItemNode>& nodes, const ItemNode* parent)
{
    for (int row = 0; row < int(nodes.size()); ++row) {
        links_.insert(&nodes[row], Link{parent, row});
        link(nodes[row].children, &nodes[row]);
    }
}

const std::vector<ItemNode>& ItemTreeModel::childrenOf(const ItemNode* node) const
{
    return node ? node->children : nodes_;
}

const ItemNode* ItemTreeModel::node(const QModelIndex& index) const
{
    return index.isValid() ? static_cast<const ItemNode*>(index.internalPointer()) : nullptr;
}

QModelIndex ItemTreeModel::index(int row, int column, const QModelIndex& parent) const
{
    const std::vector<ItemNode>& children = childrenOf(node(parent));
    if (row < 0 || row >= int(children.size()) || column < 0 || column >= columnCount()) {
        return {};
    }
    return createIndex(row, column, const_cast<ItemNode*>(&children[row]));
}

QModelIndex ItemTreeModel::parent(const QModelIndex& child) const
{
    const ItemNode* parentNode = links_.value(node(child), Link{nullptr, 0}).parent;
    if (!parentNode) {
        return {};
    }
    return createIndex(links_.value(parentNode).row, 0, const_cast<ItemNode*>(parentNode));
}

int ItemTreeModel::rowCount(const QModelIndex& parent) const
{
    if (parent.column() > 0) {
        return 0;
    }
    return int(childrenOf(node(parent)).size());
}

int ItemTreeModel::columnCount(const QModelIndex&) const { return int(headers_.size()); }

QVariant ItemTreeModel::data(const QModelIndex& index, int role) const
{
    const ItemNode* item = node(index);
    if (!item) {
        return {};
    }
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole: return column < item->columns.size() ? item->columns[column] : QString();
    case Qt::ToolTipRole: // the whole text, where the column cuts it short
        return column < item->columns.size() && !item->columns[column].isEmpty() ? QVariant(item->columns[column])
                                                                                 : QVariant();
    case Qt::CheckStateRole:
        if (column == checkColumn_ && item->checked) {
            return *item->checked ? Qt::Checked : Qt::Unchecked;
        }
        return {};
    case Qt::DecorationRole:
        if (column == 0 && !item->symbol.isEmpty()) {
            return symbolIcon(item->symbol);
        }
        return {};
    case Qt::FontRole:
        if (item->heading) {
            QFont font;
            font.setBold(true);
            font.setPointSizeF(font.pointSizeF() * 1.15);
            return font;
        }
        return {};
    default: return {};
    }
}

QVariant ItemTreeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && section >= 0 && section < headers_.size()) {
        if (role == Qt::DisplayRole) {
            return headers_[section];
        }
        if (role == Qt::FontRole) {
            return headerFont();
        }
    }
    return {};
}

Qt::ItemFlags ItemTreeModel::flags(const QModelIndex& index) const
{
    // Enabled and selectable, never user-checkable or editable: the check boxes only show a flag.
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

} // namespace nerova

#pragma once

#include <QAbstractItemModel>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace nerova {

// One row of a read-only tree: its texts by column, an optional check box that only shows a flag,
// an optional symbol, and its child rows.
struct ItemNode {
    QStringList columns;
    std::optional<bool> checked; // shown in the model's check column; never editable
    QString symbol;              // a symbol name for symbolIcon(); empty for none
    bool heading = false;        // drawn in a larger, bold font
    std::vector<ItemNode> children;
};

// A read-only tree model over ItemNode values, for views that show a structure as it is: the
// views build the nodes from the agent's state and hand them over whole.
class ItemTreeModel : public QAbstractItemModel {
    Q_OBJECT

public:
    // `checkColumn`: the column that carries the nodes' check boxes.
    ItemTreeModel(QStringList headers, int checkColumn, QObject* parent = nullptr);

    void setNodes(std::vector<ItemNode> nodes);
    const std::vector<ItemNode>& nodes() const { return nodes_; }
    // The node behind `index`; nullptr for the invisible root.
    const ItemNode* node(const QModelIndex& index) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    struct Link {
        const ItemNode* parent;
        int row;
    };
    void link(const std::vector<ItemNode>& nodes, const ItemNode* parent);
    const std::vector<ItemNode>& childrenOf(const ItemNode* node) const;

    QStringList headers_;
    int checkColumn_;
    std::vector<ItemNode> nodes_;
    QHash<const ItemNode*, Link> links_;
};

} // namespace nerova

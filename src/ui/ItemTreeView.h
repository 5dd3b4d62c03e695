#pragma once

#include <QWidget>

#include <optional>

class QLabel;
class QStackedLayout;
class QTreeView;

namespace nerova {

class ItemTreeModel;

// A tree tab: a heading line above the expanded tree of its model, or "None" while there is
// nothing to show (no heading).
class ItemTreeView : public QWidget {
    Q_OBJECT

public:
    explicit ItemTreeView(ItemTreeModel& model, QWidget* parent = nullptr);

    void setHeading(const std::optional<QString>& heading);
    bool showsNone() const;
    QString heading() const;
    QTreeView& tree() { return *tree_; }

private:
    ItemTreeModel& model_;
    QStackedLayout* pages_;
    QLabel* heading_;
    QTreeView* tree_;
};

} // namespace nerova

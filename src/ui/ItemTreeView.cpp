#include "ui/ItemTreeView.h"

#include "ui/Appearance.h"
#include "ui/ItemTreeModel.h"
#include "ui/NoneOrContent.h"

#include <QHeaderView>
#include <QLabel>
#include <QStackedLayout>
#include <QTreeView>
#include <QVBoxLayout>

namespace nerova {

ItemTreeView::ItemTreeView(ItemTreeModel& model, QWidget* parent) : QWidget(parent), model_(model)
{
    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    heading_ = new QLabel;
    heading_->setTextFormat(Qt::PlainText); // it names the matched fingerprint
    heading_->setWordWrap(true);
    column->addWidget(heading_);
    tree_ = new QTreeView;
    tree_->setModel(&model_);
    tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tree_->setSelectionMode(QAbstractItemView::NoSelection);
    tree_->setUniformRowHeights(false);
    tree_->setWordWrap(true);
    tree_->header()->setStretchLastSection(true);
    tree_->setFrameShape(QFrame::NoFrame);
    tree_->setItemDelegate(new ReadOnlyCheckDelegate(tree_));
    column->addWidget(tree_);
    pages_ = makeNoneOrContent(*this, content);

    connect(&model_, &QAbstractItemModel::modelReset, this, [this] {
        tree_->expandAll();
        for (int column = 0; column + 1 < model_.columnCount(); ++column) {
            tree_->resizeColumnToContents(column);
        }
    });
}

void ItemTreeView::setHeading(const std::optional<QString>& heading)
{
    heading_->setText(heading.value_or(QString()));
    pages_->setCurrentIndex(heading ? 1 : 0);
}

bool ItemTreeView::showsNone() const { return pages_->currentIndex() == 0; }

QString ItemTreeView::heading() const { return heading_->text(); }

} // namespace nerova

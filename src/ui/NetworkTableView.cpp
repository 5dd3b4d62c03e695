#include "ui/NetworkTableView.h"

#include "ui/NetworkTableModel.h"
#include "ui/NoneOrContent.h"

#include <QFormLayout>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QStackedLayout>
#include <QTableView>
#include <QVBoxLayout>

namespace nerova {

NetworkTableView::NetworkTableView(NetworkTableModel& model, bool withExternalAddresses, QWidget* parent)
    : QWidget(parent), model_(model)
{
    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    auto* table = new QTableView;
    table->setModel(&model_);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionMode(QAbstractItemView::NoSelection);
    table->setShowGrid(false);
    table->setAlternatingRowColors(true);
    column->addWidget(table);
    if (withExternalAddresses) {
        auto* divider = new QFrame;
        divider->setFrameShape(QFrame::HLine);
        divider->setFrameShadow(QFrame::Sunken);
        column->addWidget(divider);
        auto* external = new QFormLayout;
        externalIPv4_ = new QLabel;
        externalIPv6_ = new QLabel;
        for (QLabel* address : {externalIPv4_, externalIPv6_}) {
            address->setTextFormat(Qt::PlainText); // as the lookup service answered
            address->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
            address->setFocusPolicy(Qt::StrongFocus);
        }
        external->addRow(tr("External IPv4 address:"), externalIPv4_);
        external->addRow(tr("External IPv6 address:"), externalIPv6_);
        column->addLayout(external);
    }
    pages_ = makeNoneOrContent(*this, content);
    connect(&model_, &QAbstractItemModel::modelReset, this, &NetworkTableView::render);
    render();
}

void NetworkTableView::render()
{
    pages_->setCurrentIndex(model_.hasContext() ? 1 : 0);
    if (externalIPv4_) {
        externalIPv4_->setText(model_.externalIPv4());
        externalIPv6_->setText(model_.externalIPv6());
    }
}

bool NetworkTableView::showsNone() const { return pages_->currentIndex() == 0; }

QString NetworkTableView::externalIPv4Shown() const { return externalIPv4_ ? externalIPv4_->text() : QString(); }

QString NetworkTableView::externalIPv6Shown() const { return externalIPv6_ ? externalIPv6_->text() : QString(); }

} // namespace nerova

#pragma once

#include <QAbstractTableModel>
#include <QString>

#include <functional>
#include <vector>

namespace nerova {

// One "Label: value" line of a status tab; `symbol` draws an icon before the value.
struct LabelValueRow {
    QString label;
    QString value;
    QString symbol;
};

// A two-column model (label, value) whose rows come from a function of the agent's state. The
// owner calls refresh() on the agent's change signals; the rows are read again then.
class LabelValueModel : public QAbstractTableModel {
    Q_OBJECT

public:
    explicit LabelValueModel(std::function<std::vector<LabelValueRow>()> rows, QObject* parent = nullptr);

    const std::vector<LabelValueRow>& rows() const { return rows_; }
    // The value on the row labelled `label`; empty when there is none.
    QString value(const QString& label) const;

    void refresh();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    std::function<std::vector<LabelValueRow>()> source_;
    std::vector<LabelValueRow> rows_;
};

} // namespace nerova

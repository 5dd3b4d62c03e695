#pragma once

#include <QWidget>

class QGridLayout;

namespace nerova {

class LabelValueModel;

// The "Label: value" lines of a LabelValueModel, one line per row, redrawn when the model resets.
class LabelValueView : public QWidget {
    Q_OBJECT

public:
    explicit LabelValueView(LabelValueModel& model, QWidget* parent = nullptr);

    // The value text shown on line `row`.
    QString shownValue(int row) const;

private:
    void render();

    LabelValueModel& model_;
    QGridLayout* grid_;
};

} // namespace nerova

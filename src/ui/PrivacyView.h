#pragma once

#include <QWidget>

class QLabel;
class QVBoxLayout;

namespace nerova {

class PrivacyModel;

// The "Privacy" tab: the notice's paragraphs under their headings, the policy values, and the
// company's notice ("noticeLink"), a link only when the model offers one. Redrawn when the model
// changes.
class PrivacyView : public QWidget {
    Q_OBJECT

public:
    explicit PrivacyView(PrivacyModel& model, QWidget* parent = nullptr);

private:
    void render();

    PrivacyModel& model_;
    QVBoxLayout* column_;
};

} // namespace nerova

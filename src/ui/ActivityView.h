#pragma once

#include <QWidget>

class QLabel;

namespace nerova {

class ActivityTableModel;

// The activity tab: what the agent sent to the service, newest first, under a line that says what
// is not recorded.
class ActivityView : public QWidget {
    Q_OBJECT

public:
    static constexpr const char* notRecorded =
        QT_TR_NOOP("The public IP lookup and the network tests (ping, TCP, web pages) do "
                   "not go to the service and are not recorded.");

    explicit ActivityView(ActivityTableModel& model, QWidget* parent = nullptr);
};

} // namespace nerova

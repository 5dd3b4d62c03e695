#pragma once

#include <QWidget>

class QLabel;
class QStackedLayout;

namespace nerova {

class NetworkTableModel;

// A network tab: "None" while its model has no context, else the table, and for addresses the
// external IPv4 and IPv6 lines below a divider.
class NetworkTableView : public QWidget {
    Q_OBJECT

public:
    NetworkTableView(NetworkTableModel& model, bool withExternalAddresses, QWidget* parent = nullptr);

    bool showsNone() const;
    // The shown external lines ("External IPv4 address:" and its value, ...); empty without them.
    QString externalIPv4Shown() const;
    QString externalIPv6Shown() const;

private:
    void render();

    NetworkTableModel& model_;
    QStackedLayout* pages_;
    QLabel* externalIPv4_ = nullptr;
    QLabel* externalIPv6_ = nullptr;
};

} // namespace nerova

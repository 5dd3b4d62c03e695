#pragma once

#include "network/NetworkContext.h"

#include <QAbstractTableModel>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

namespace nerova {

// A table of the agent's latest network context: the interfaces (name, MAC address, its default
// gateways and Wi-Fi network) or the
// interface addresses (name, type, address). Without a context it has no rows and hasContext()
// is false, and the tab says "None".
class NetworkTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum class Content { interfaces, addresses };

    NetworkTableModel(Content content, QObject* parent = nullptr);

    void setContext(const std::optional<NetworkContext>& context);
    bool hasContext() const { return context_.has_value(); }
    // The context's external addresses as the tab writes them: the address, or "Unknown".
    QString externalIPv4() const;
    QString externalIPv6() const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    QStringList cells(int row) const;
    QString gatewaysOf(const QString& name) const;
    QString wirelessOf(const QString& name) const;

    Content content_;
    QStringList headers_;
    std::optional<NetworkContext> context_;
};

} // namespace nerova

#include "ui/NetworkTableModel.h"

#include "ui/Appearance.h"

#include <QFont>

namespace nerova {

namespace {

// "address (hardware address)" of each default route through `name`, joined by commas.
QString gatewaysText(const LocationEvidence& evidence, const QString& name)
{
    QStringList texts;
    for (const Gateway& gateway : evidence.gateways) {
        if (gateway.name == name) {
            const QString address = gateway.address.value_or(NetworkTableModel::tr("direct"));
            texts << (gateway.hardwareAddress ? QStringLiteral("%1 (%2)").arg(address, *gateway.hardwareAddress)
                                              : address);
        }
    }
    return texts.join(QLatin1String(", "));
}

} // namespace

NetworkTableModel::NetworkTableModel(Content content, QObject* parent)
    : QAbstractTableModel(parent),
      content_(content),
      headers_(content == Content::interfaces
                   ? QStringList{tr("Interface name"), tr("MAC address"), tr("Gateway"), tr("Wi-Fi")}
                   : QStringList{tr("Interface name"), tr("Address type"), tr("Address")})
{}

void NetworkTableModel::setContext(const std::optional<NetworkContext>& context)
{
    beginResetModel();
    context_ = context;
    endResetModel();
}

QString NetworkTableModel::externalIPv4() const
{
    return context_ && context_->externalIPv4 ? *context_->externalIPv4 : tr("Unknown");
}

QString NetworkTableModel::externalIPv6() const
{
    return context_ && context_->externalIPv6 ? *context_->externalIPv6 : tr("Unknown");
}

int NetworkTableModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() || !context_) {
        return 0;
    }
    return int(content_ == Content::interfaces ? context_->networkInterfaces.size()
                                               : context_->internalAddresses.size());
}

int NetworkTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(headers_.size());
}

QStringList NetworkTableModel::cells(int row) const
{
    if (content_ == Content::interfaces) {
        const NetworkInterface& item = context_->networkInterfaces[row];
        return {item.name, item.hardwareAddress, gatewaysOf(item.name), wirelessOf(item.name)};
    }
    const NetworkAddress& item = context_->internalAddresses[row];
    return {item.name, rawValue(item.type), item.address};
}

QString NetworkTableModel::gatewaysOf(const QString& name) const { return gatewaysText(context_->evidence, name); }

QString NetworkTableModel::wirelessOf(const QString& name) const
{
    for (const WirelessNetwork& network : context_->evidence.wirelessNetworks) {
        if (network.name == name) {
            return QStringLiteral("%1 (%2)").arg(network.ssid, network.bssid);
        }
    }
    return {};
}

QVariant NetworkTableModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    return cells(index.row()).value(index.column());
}

QVariant NetworkTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= headers_.size()) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return headers_[section];
    }
    if (role == Qt::FontRole) { // small titles, as in every table of the window
        return headerFont();
    }
    return {};
}

} // namespace nerova

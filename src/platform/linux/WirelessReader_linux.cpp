#include "platform/linux/WirelessReader_linux.h"

#include "network/NetworkMonitorLogging.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QObject>
#include <QVariantMap>

#include <algorithm>
#include <chrono>
#include <optional>

namespace nerova {

namespace {

const QString networkManager = QStringLiteral("org.freedesktop.NetworkManager");
const QString networkManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString deviceInterface = QStringLiteral("org.freedesktop.NetworkManager.Device");
const QString wirelessInterface = QStringLiteral("org.freedesktop.NetworkManager.Device.Wireless");
const QString accessPointInterface = QStringLiteral("org.freedesktop.NetworkManager.AccessPoint");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString activeAccessPoint = QStringLiteral("ActiveAccessPoint");

// One read, every call included: the network monitor waits for it.
constexpr std::chrono::milliseconds readTimeout{1000};
constexpr uint wifiDeviceType = 2;   // NM_DEVICE_TYPE_WIFI
constexpr uint activatedState = 100; // NM_DEVICE_STATE_ACTIVATED

// One call, bounded by what is left of `deadline`: its reply, or the error it became.
QCoro::Task<QDBusMessage> callUntil(QDBusConnection bus, QDBusMessage message, QDeadlineTimer deadline)
{
    const int timeout = int(std::max<qint64>(1, deadline.remainingTime()));
    const QDBusPendingCall pending = bus.asyncCall(message, timeout);
    co_return co_await pending;
}

QDBusMessage propertiesCall(const QString& path, const QString& method, const QVariantList& arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(networkManager, path, propertiesInterface, method);
    message.setArguments(arguments);
    return message;
}

QString errorText(const QDBusMessage& reply) { return reply.errorName() + QStringLiteral(": ") + reply.errorMessage(); }

// The a{sv} of a GetAll reply; nothing for an error or another answer.
std::optional<QVariantMap> propertyMap(const QDBusMessage& reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != QLatin1String("a{sv}")) {
        return std::nullopt;
    }
    return qdbus_cast<QVariantMap>(reply.arguments().at(0));
}

// The object path in the variant of a Get reply; empty for an error or another answer.
QString objectPathValue(const QDBusMessage& reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != QLatin1String("v")) {
        return {};
    }
    const QVariant value = reply.arguments().at(0).value<QDBusVariant>().variant();
    return value.metaType() == QMetaType::fromType<QDBusObjectPath>() ? value.value<QDBusObjectPath>().path()
                                                                      : QString();
}

// The length of the well-formed UTF-8 sequence at `i`, 0 when none starts there.
int sequenceLength(const QByteArray& bytes, qsizetype i)
{
    const auto at = [&bytes](qsizetype k) { return static_cast<unsigned char>(bytes.at(k)); };
    const unsigned char lead = at(i);
    if (lead < 0x80) {
        return 1;
    }
    int length = 0;
    unsigned char low = 0x80, high = 0xbf; // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;  // no overlong forms
        high = lead == 0xed ? 0x9f : 0xbf; // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf; // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (i + length > bytes.size() || at(i + 1) < low || at(i + 1) > high) {
        return 0;
    }
    for (int k = 2; k < length; ++k) {
        if (at(i + k) < 0x80 || at(i + k) > 0xbf) {
            return 0;
        }
    }
    return length;
}

// An SSID as text: well-formed UTF-8 sequences as they are, every other byte as `\xNN`.
QString ssidText(const QByteArray& ssid)
{
    QString text;
    for (qsizetype i = 0; i < ssid.size();) {
        if (const int length = sequenceLength(ssid, i)) {
            text += QString::fromUtf8(ssid.constData() + i, length);
            i += length;
        } else {
            text += QStringLiteral("\\x%1").arg(uint(static_cast<unsigned char>(ssid.at(i))), 2, 16, QLatin1Char('0'));
            ++i;
        }
    }
    return text;
}

// One device: its interface and access point when it is a Wi-Fi device that is connected.
QCoro::Task<std::optional<WirelessNetwork>> readDevice(QDBusConnection bus, QString path, QDeadlineTimer deadline)
{
    // The calls are named locals: g++ 12 mishandles braced lists inside a co_await expression.
    const QDBusMessage deviceCall = propertiesCall(path, QStringLiteral("GetAll"), {deviceInterface});
    const QDBusMessage deviceReply = co_await callUntil(bus, deviceCall, deadline);
    const std::optional<QVariantMap> device = propertyMap(deviceReply);
    if (!device) {
        qCDebug(lcNetworkMonitor, "Device %s left out: %s", qUtf8Printable(path),
                qUtf8Printable(errorText(deviceReply)));
        co_return std::nullopt;
    }
    if (device->value(QStringLiteral("DeviceType")).toUInt() != wifiDeviceType ||
        device->value(QStringLiteral("State")).toUInt() != activatedState) {
        co_return std::nullopt;
    }
    const QDBusMessage wirelessCall =
        propertiesCall(path, QStringLiteral("Get"), {wirelessInterface, activeAccessPoint});
    const QDBusMessage wirelessReply = co_await callUntil(bus, wirelessCall, deadline);
    const QString accessPointPath = objectPathValue(wirelessReply);
    if (accessPointPath.isEmpty() || accessPointPath == QLatin1String("/")) {
        qCDebug(lcNetworkMonitor, "Wi-Fi device %s has no access point: %s", qUtf8Printable(path),
                qUtf8Printable(errorText(wirelessReply)));
        co_return std::nullopt;
    }
    const QDBusMessage accessPointCall =
        propertiesCall(accessPointPath, QStringLiteral("GetAll"), {accessPointInterface});
    const QDBusMessage accessPointReply = co_await callUntil(bus, accessPointCall, deadline);
    const std::optional<QVariantMap> accessPoint = propertyMap(accessPointReply);
    if (!accessPoint) {
        qCDebug(lcNetworkMonitor, "Access point %s left out: %s", qUtf8Printable(accessPointPath),
                qUtf8Printable(errorText(accessPointReply)));
        co_return std::nullopt;
    }
    WirelessNetwork network;
    network.name = device->value(QStringLiteral("Interface")).toString();
    network.ssid = ssidText(accessPoint->value(QStringLiteral("Ssid")).toByteArray());
    network.bssid = accessPoint->value(QStringLiteral("HwAddress")).toString().trimmed().toLower();
    co_return network;
}

// NetworkManager's signals: a Wi-Fi device's PropertiesChanged naming ActiveAccessPoint (the bus
// filters on the interface, so the frequent signal strength changes of access points never wake
// the agent), and NetworkManager's name gaining or losing its owner.
class WirelessChangeSource final : public QObject, public NetworkChangeSource {
    Q_OBJECT

public:
    WirelessChangeSource(Trigger trigger, const QDBusConnection& bus)
        : trigger_(std::move(trigger)), watcher_(networkManager, bus, QDBusServiceWatcher::WatchForOwnerChange)
    {
        connect(&watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this, [this] {
            qCDebug(lcNetworkMonitor, "NetworkManager came or went");
            trigger_();
        });
    }

    bool connectTo(QDBusConnection bus)
    {
        return bus.connect(networkManager, QString(), propertiesInterface, QStringLiteral("PropertiesChanged"),
                           {wirelessInterface}, QStringLiteral("sa{sv}as"), this,
                           SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    }

private slots:
    void propertiesChanged(const QString& interface, const QVariantMap& changed, const QStringList& invalidated)
    {
        if (interface == wirelessInterface &&
            (changed.contains(activeAccessPoint) || invalidated.contains(activeAccessPoint))) {
            qCDebug(lcNetworkMonitor, "The active access point changed");
            trigger_();
        }
    }

private:
    Trigger trigger_;
    QDBusServiceWatcher watcher_;
};

} // namespace

struct WirelessReader::State {
    QDBusConnection bus;
    bool unavailableSaid = false; // the line saying why there are no Wi-Fi networks
};

WirelessReader::WirelessReader(QDBusConnection bus) : state_(std::make_shared<State>(State{std::move(bus)})) {}

QCoro::Task<std::vector<WirelessNetwork>> WirelessReader::read() const
{
    const std::shared_ptr<State> state = state_;
    const QDeadlineTimer deadline(readTimeout);
    const QDBusMessage getDevices = QDBusMessage::createMethodCall(networkManager, networkManagerPath, networkManager,
                                                                   QStringLiteral("GetDevices"));
    const QDBusMessage reply = co_await callUntil(state->bus, getDevices, deadline);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != QLatin1String("ao")) {
        if (!state->unavailableSaid) {
            state->unavailableSaid = true;
            const QString why = reply.type() == QDBusMessage::ErrorMessage
                                    ? errorText(reply)
                                    : QStringLiteral("an answer of type ") + reply.signature();
            qCInfo(lcNetworkMonitor, "No Wi-Fi networks: NetworkManager cannot be asked on the system bus (%s)",
                   qUtf8Printable(why));
        }
        co_return std::vector<WirelessNetwork>{};
    }
    if (state->unavailableSaid) {
        state->unavailableSaid = false;
        qCInfo(lcNetworkMonitor, "NetworkManager answers again");
    }
    // Every device is asked at once; the answers are taken in the order of the devices.
    std::vector<QCoro::Task<std::optional<WirelessNetwork>>> devices;
    for (const QDBusObjectPath& path : qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(0))) {
        devices.push_back(readDevice(state->bus, path.path(), deadline));
    }
    std::vector<WirelessNetwork> networks;
    for (QCoro::Task<std::optional<WirelessNetwork>>& device : devices) {
        if (std::optional<WirelessNetwork> network = co_await std::move(device)) {
            networks.push_back(std::move(*network));
        }
    }
    co_return networks;
}

std::unique_ptr<NetworkChangeSource> makeWirelessChangeSource(NetworkChangeSource::Trigger trigger, QDBusConnection bus)
{
    if (!bus.isConnected()) {
        qCWarning(lcNetworkMonitor, "Cannot follow the Wi-Fi access point: the system bus cannot be reached (%s)",
                  qUtf8Printable(bus.lastError().message()));
        return nullptr;
    }
    auto source = std::make_unique<WirelessChangeSource>(std::move(trigger), bus);
    if (!source->connectTo(bus)) {
        qCWarning(lcNetworkMonitor, "Cannot follow the Wi-Fi access point on the system bus: %s",
                  qUtf8Printable(bus.lastError().message()));
        return nullptr;
    }
    return source;
}

} // namespace nerova

#include "WirelessReader_linux.moc"

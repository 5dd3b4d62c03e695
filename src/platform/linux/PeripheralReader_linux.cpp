#include "platform/linux/PeripheralReader_linux.h"

#include "network/Edid.h"
#include "network/NetworkMonitorLogging.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-device.h>
#include <systemd/sd-event.h>
#include <unistd.h>

namespace nerova {

namespace {

// EDID has at most 256 blocks of 128 bytes; the USB attributes are one short line each.
constexpr qsizetype edidLimit = 32 * 1024;
constexpr qsizetype attributeLimit = 4 * 1024;

// At most `limit` bytes of a regular file. Nothing for a missing or unreadable file, a symlink
// loop, or anything that is not a regular file (a FIFO would block the open without O_NONBLOCK).
std::optional<QByteArray> readBounded(const QString& path, qsizetype limit)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return std::nullopt;
    }
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    QByteArray bytes(limit, Qt::Uninitialized);
    qsizetype total = 0;
    while (total < limit) {
        const ssize_t length = ::read(fd, bytes.data() + total, size_t(limit - total));
        if (length < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (length == 0) {
            break;
        }
        total += length;
    }
    bytes.truncate(total);
    return bytes;
}

// A one-line attribute, trimmed; empty when missing.
QString readAttribute(const QString& directory, const char* name)
{
    const auto bytes = readBounded(directory + u'/' + QLatin1String(name), attributeLimit);
    return bytes ? QString::fromUtf8(*bytes).trimmed() : QString();
}

bool isUsbId(const QString& text)
{
    return text.size() == 4 && std::all_of(text.begin(), text.end(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
           });
}

// Entries of a sysfs folder, symlinks to folders included (bus/usb/devices and class/drm hold
// nothing else), in name order so that log lines come in a stable order.
QStringList subdirectories(const QString& path)
{
    return QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

void readDisplays(const QString& root, std::vector<Peripheral>& peripherals)
{
    const QString drm = root + QStringLiteral("/class/drm");
    for (const QString& entry : subdirectories(drm)) {
        const QString path = drm + u'/' + entry + QStringLiteral("/edid");
        const auto blob = readBounded(path, edidLimit);
        if (!blob || blob->isEmpty()) {
            continue; // a card or render node (no edid), or a connector without a monitor
        }
        const auto identity = decodeEdid(*blob);
        if (!identity) {
            qCWarning(lcNetworkMonitor, "The EDID of %s is not valid (%lld bytes): the monitor is left out",
                      qUtf8Printable(path), static_cast<long long>(blob->size()));
            continue;
        }
        peripherals.push_back(
            {PeripheralKind::display, identity->peripheralId(), identity->displayName(), identity->uniqueSerial()});
    }
}

void readUsbDevices(const QString& root, std::vector<Peripheral>& peripherals)
{
    const QString devices = root + QStringLiteral("/bus/usb/devices");
    for (const QString& entry : subdirectories(devices)) {
        const QString directory = devices + u'/' + entry;
        // Lower case: the ids do not depend on how a kernel writes them.
        const QString vendor = readAttribute(directory, "idVendor").toLower();
        const QString product = readAttribute(directory, "idProduct").toLower();
        if (!isUsbId(vendor) || !isUsbId(product)) {
            continue; // an interface ("1-2:1.0") rather than a device
        }
        if (entry.startsWith(QLatin1String("usb")) || readAttribute(directory, "bDeviceClass") == u"09") {
            continue; // a root hub or a hub
        }
        const QString serial = readAttribute(directory, "serial");
        QString id = QStringLiteral("usb:%1:%2").arg(vendor, product);
        if (!serial.isEmpty()) {
            id += u':' + serial;
        }
        QString name =
            (readAttribute(directory, "manufacturer") + u' ' + readAttribute(directory, "product")).trimmed();
        peripherals.push_back({PeripheralKind::usb, id, name.isEmpty() ? id : name, !serial.isEmpty()});
    }
}

// udev's announcements of the drm and usb subsystems, after its rules have run. sd-device receives
// them through an sd-event loop of its own, whose descriptor the Qt loop watches.
class UdevChangeSource final : public NetworkChangeSource {
public:
    UdevChangeSource(sd_event* event, sd_device_monitor* monitor, Trigger trigger)
        : event_(event),
          monitor_(monitor),
          trigger_(std::move(trigger)),
          notifier_(sd_event_get_fd(event), QSocketNotifier::Read)
    {
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] {
            while (sd_event_run(event_, 0) > 0) {
            }
        });
    }

    ~UdevChangeSource() override
    {
        notifier_.setEnabled(false);
        sd_device_monitor_unref(monitor_);
        sd_event_unref(event_);
    }

    static int onDevice(sd_device_monitor*, sd_device* device, void* userdata)
    {
        sd_device_action_t action{};
        if (sd_device_get_action(device, &action) < 0) {
            return 0;
        }
        // bind and unbind follow the add and precede the remove of the same device.
        if (action == SD_DEVICE_ADD || action == SD_DEVICE_REMOVE || action == SD_DEVICE_CHANGE) {
            static_cast<UdevChangeSource*>(userdata)->trigger_();
        }
        return 0;
    }

private:
    sd_event* event_;
    sd_device_monitor* monitor_;
    Trigger trigger_;
    QSocketNotifier notifier_;
};

std::unique_ptr<NetworkChangeSource> makeUdevChangeSource(const NetworkChangeSource::Trigger& trigger)
{
    sd_event* event = nullptr;
    sd_device_monitor* monitor = nullptr;
    auto release = qScopeGuard([&] {
        sd_device_monitor_unref(monitor);
        sd_event_unref(event);
    });
    int result = sd_event_new(&event);
    if (result >= 0) {
        result = sd_device_monitor_new(&monitor);
    }
    if (result >= 0) {
        result = sd_device_monitor_filter_add_match_subsystem_devtype(monitor, "drm", nullptr);
    }
    if (result >= 0) {
        result = sd_device_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device");
    }
    if (result >= 0) {
        result = sd_device_monitor_attach_event(monitor, event);
    }
    std::unique_ptr<UdevChangeSource> source;
    if (result >= 0) {
        source = std::make_unique<UdevChangeSource>(event, monitor, trigger);
        release.dismiss(); // the source owns them now
        result = sd_device_monitor_start(monitor, &UdevChangeSource::onDevice, source.get());
    }
    if (result < 0) {
        qCWarning(lcNetworkMonitor, "Cannot monitor udev (%s): using the kernel's device events",
                  std::strerror(-result));
        return nullptr;
    }
    return source;
}

// The kernel's own device events, where udevd does not run. Only the kernel (sender 0) is heard.
class UeventChangeSource final : public NetworkChangeSource {
public:
    UeventChangeSource(int socket, Trigger trigger)
        : socket_(socket), trigger_(std::move(trigger)), notifier_(socket, QSocketNotifier::Read)
    {
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { readMessages(); });
    }

    ~UeventChangeSource() override
    {
        notifier_.setEnabled(false);
        ::close(socket_);
    }

private:
    void readMessages()
    {
        char buffer[8192];
        for (;;) {
            sockaddr_nl sender{};
            socklen_t senderLength = sizeof sender;
            const ssize_t length = ::recvfrom(socket_, buffer, sizeof buffer, MSG_DONTWAIT,
                                              reinterpret_cast<sockaddr*>(&sender), &senderLength);
            if (length < 0) {
                if (errno == ENOBUFS) {
                    trigger_(); // events were lost; one of them may have been a monitor or USB device
                    continue;
                }
                return; // EAGAIN: drained
            }
            if (sender.nl_pid != 0) {
                continue; // not from the kernel
            }
            if (isPeripheralUevent(QByteArrayView(buffer, std::min<qsizetype>(length, sizeof buffer)))) {
                trigger_();
            }
        }
    }

    int socket_;
    Trigger trigger_;
    QSocketNotifier notifier_;
};

std::unique_ptr<NetworkChangeSource> makeUeventChangeSource(NetworkChangeSource::Trigger trigger, int& error)
{
    const int socket = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (socket < 0) {
        error = errno;
        return nullptr;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1; // the kernel's group; udevd rebroadcasts on group 2
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        error = errno;
        ::close(socket);
        return nullptr;
    }
    return std::make_unique<UeventChangeSource>(socket, std::move(trigger));
}

} // namespace

PeripheralReader::PeripheralReader(QString sysfsRoot) : sysfsRoot_(std::move(sysfsRoot)) {}

std::vector<Peripheral> PeripheralReader::read() const
{
    std::vector<Peripheral> peripherals;
    readDisplays(sysfsRoot_, peripherals);
    readUsbDevices(sysfsRoot_, peripherals);
    std::sort(peripherals.begin(), peripherals.end(), [](const Peripheral& a, const Peripheral& b) {
        return std::tie(a.kind, a.id, a.name) < std::tie(b.kind, b.id, b.name);
    });
    const auto repeated =
        std::unique(peripherals.begin(), peripherals.end(),
                    [](const Peripheral& a, const Peripheral& b) { return a.kind == b.kind && a.id == b.id; });
    peripherals.erase(repeated, peripherals.end());
    return peripherals;
}

bool isPeripheralUevent(QByteArrayView message)
{
    const qsizetype headerEnd = message.indexOf('\0');
    const QByteArrayView header = message.first(headerEnd < 0 ? message.size() : headerEnd);
    const qsizetype at = header.indexOf('@');
    if (at <= 0) {
        return false; // not a kernel uevent (udev's own messages start with "libudev")
    }
    QByteArrayView action = header.first(at);
    QByteArrayView subsystem;
    QByteArrayView devtype;
    qsizetype position = header.size() + 1;
    while (position < message.size()) {
        qsizetype end = message.indexOf('\0', position);
        if (end < 0) {
            end = message.size();
        }
        const QByteArrayView field = message.sliced(position, end - position);
        if (field.startsWith("ACTION=")) {
            action = field.sliced(7);
        } else if (field.startsWith("SUBSYSTEM=")) {
            subsystem = field.sliced(10);
        } else if (field.startsWith("DEVTYPE=")) {
            devtype = field.sliced(8);
        }
        position = end + 1;
    }
    // add and remove: a device came or went; change: a monitor on a connector of a card (drm's
    // hotplug event). bind and unbind follow the add and precede the remove of the same device.
    if (action != "add" && action != "remove" && action != "change") {
        return false;
    }
    return subsystem == "drm" || (subsystem == "usb" && devtype == "usb_device");
}

std::unique_ptr<NetworkChangeSource> makePeripheralChangeSource(NetworkChangeSource::Trigger trigger)
{
    // sd-device hears nothing where udevd does not run (containers, minimal systems).
    if (::access("/run/udev/control", F_OK) == 0) {
        if (auto udev = makeUdevChangeSource(trigger)) {
            return udev;
        }
    }
    int error = 0;
    if (auto kernel = makeUeventChangeSource(std::move(trigger), error)) {
        return kernel;
    }
    qCWarning(lcNetworkMonitor,
              "Cannot open the kernel's device event socket (%s): plugged monitors and USB "
              "devices are noticed only with other changes",
              std::strerror(error));
    return nullptr;
}

} // namespace nerova

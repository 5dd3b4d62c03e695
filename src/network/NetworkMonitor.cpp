#include "network/NetworkMonitor.h"

#include "common/Error.h"
#include "network/NetworkMonitorLogging.h"

#include <QSet>

namespace nerova {

Q_LOGGING_CATEGORY(lcNetworkMonitor, "nerova.NetworkMonitor", QtInfoMsg)

namespace {

// Whether `a` and `b` hold the same interfaces, order and repetition aside.
bool sameInterfaces(const std::vector<NetworkInterface>& a, const std::vector<NetworkInterface>& b)
{
    const QSet<NetworkInterface> setA(a.begin(), a.end());
    const QSet<NetworkInterface> setB(b.begin(), b.end());
    return setA == setB;
}

} // namespace

NetworkMonitor::NetworkMonitor(std::unique_ptr<NetworkReader> reader, PublicIpLookup publicIpLookup,
                               const ChangeSourceFactory& changeSources, std::chrono::milliseconds debounce,
                               QObject* parent)
    : QObject(parent),
      reader_(std::move(reader)),
      publicIpLookup_(std::move(publicIpLookup)),
      networkContextSequence_(std::make_shared<Channel<NetworkContext>>())
{
    debounce_.setSingleShot(true);
    debounce_.setTimerType(Qt::PreciseTimer); // a coarse timer may end the quiet period up to 5 % early or late
    debounce_.setInterval(debounce);
    connect(&debounce_, &QTimer::timeout, this, &NetworkMonitor::debounced);
    burstLimit_.setSingleShot(true);
    burstLimit_.setTimerType(Qt::PreciseTimer);
    burstLimit_.setInterval(2 * debounce);
    connect(&burstLimit_, &QTimer::timeout, this, &NetworkMonitor::debounced);
    if (changeSources) {
        changeSources_ = changeSources([this] { sendInterfaceChange(); });
    }
    sendInterfaceChange();
}

NetworkMonitor::~NetworkMonitor()
{
    *alive_ = false;
    changeSources_.clear();
}

void NetworkMonitor::sendInterfaceChange()
{
    debounce_.start(); // restarting a running single-shot timer moves its deadline: trailing edge
    if (!burstLimit_.isActive()) {
        burstLimit_.start();
    }
}

void NetworkMonitor::debounced()
{
    debounce_.stop();
    burstLimit_.stop();
    ++pendingRefreshes_;
    if (!refreshing_) {
        runRefreshes();
    }
}

QCoro::Task<> NetworkMonitor::runRefreshes()
{
    const std::shared_ptr<bool> alive = alive_;
    const std::shared_ptr<Channel<NetworkContext>> sequence = networkContextSequence_;
    refreshing_ = true;
    while (pendingRefreshes_ > 0) {
        --pendingRefreshes_;
        qCDebug(lcNetworkMonitor, "Refreshing MAC address list");
        NetworkContext context = co_await refreshNetworkContext();
        if (!*alive) {
            co_return;
        }
        qCDebug(lcNetworkMonitor, "Yielding network context");
        sequence->send(std::move(context));
    }
    refreshing_ = false;
}

QCoro::Task<NetworkContext> NetworkMonitor::refreshNetworkContext()
{
    const std::shared_ptr<bool> alive = alive_;
    if (std::optional<std::vector<NetworkInterface>> found = reader_->readInterfaces()) {
        if (!sameInterfaces(*found, interfaces_)) {
            qCDebug(lcNetworkMonitor, "Interface list changed");
            interfaces_ = std::move(*found);
        }
    }
    std::vector<NetworkAddress> addresses = readInterfaceAddresses(*reader_);
    // Read beside the lookup: resolving a gateway's hardware address may take up to a second.
    QCoro::Task<LocationEvidence> evidenceRead = reader_->readEvidence();
    if (publicIpLookup_) {
        try {
            QCoro::Task<std::optional<QString>> lookup = publicIpLookup_();
            std::optional<QString> address = co_await std::move(lookup);
            if (*alive && address) {
                externalIpV4_ = std::move(address);
            }
        } catch (const std::exception& error) {
            if (*alive) {
                qCCritical(lcNetworkMonitor, "Error fetching ipv4 address %s",
                           qUtf8Printable(describeException(error)));
            }
        }
    }
    LocationEvidence evidence = co_await std::move(evidenceRead);
    if (!*alive) {
        co_return NetworkContext{};
    }
    co_return NetworkContext{externalIpV4_, std::move(addresses), std::nullopt, interfaces_, std::move(evidence)};
}

} // namespace nerova

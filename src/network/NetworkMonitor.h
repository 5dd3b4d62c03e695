#pragma once

#include "common/Channel.h"
#include "network/NetworkChangeSource.h"
#include "network/NetworkContextSource.h"
#include "network/NetworkReader.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace nerova {

// Watches the machine's network and yields a fresh NetworkContext whenever it may have changed.
// Every trigger (a change source, sendInterfaceChange) restarts a quiet-period timer; when it
// runs out, one refresh re-reads the interfaces, the addresses, the evidence beyond them (gateways,
// Wi-Fi, DNS domains, peripherals) and the public address and yields
// one context. Triggers that keep coming cannot hold a refresh back for long: one runs at the
// latest twice the quiet period after the first trigger of a burst. Refreshes run one after another, in trigger order,
// so that they never interleave on the cached fields; a trigger that fires while a refresh runs is queued, never
// merged.
class NetworkMonitor final : public QObject, public NetworkContextSource {
    Q_OBJECT

public:
    // Looks the public IPv4 address up: the address, nothing when the service gave none; raises
    // when the lookup fails.
    using PublicIpLookup = std::function<QCoro::Task<std::optional<QString>>()>;
    // Builds the change sources with the monitor's trigger.
    using ChangeSourceFactory =
        std::function<std::vector<std::unique_ptr<NetworkChangeSource>>(NetworkChangeSource::Trigger)>;

    static constexpr std::chrono::milliseconds defaultDebounce{5000};

    // An empty `publicIpLookup` means no lookup: externalIPv4 stays absent. The first refresh is
    // requested before the constructor returns.
    NetworkMonitor(std::unique_ptr<NetworkReader> reader, PublicIpLookup publicIpLookup,
                   const ChangeSourceFactory& changeSources, std::chrono::milliseconds debounce = defaultDebounce,
                   QObject* parent = nullptr);
    ~NetworkMonitor() override;

    Channel<NetworkContext>& networkContextSequence() override { return *networkContextSequence_; }
    void sendInterfaceChange() override;

private:
    void debounced();
    QCoro::Task<> runRefreshes();
    QCoro::Task<NetworkContext> refreshNetworkContext();

    std::unique_ptr<NetworkReader> reader_;
    PublicIpLookup publicIpLookup_;
    QTimer debounce_;
    QTimer burstLimit_; // runs from the first trigger of a burst
    std::vector<std::unique_ptr<NetworkChangeSource>> changeSources_;
    std::vector<NetworkInterface> interfaces_;
    std::shared_ptr<Channel<NetworkContext>> networkContextSequence_;
    std::optional<QString> externalIpV4_;
    int pendingRefreshes_ = 0;
    bool refreshing_ = false;
    // Cleared on destruction so that a refresh still awaiting its lookup stops quietly.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace nerova

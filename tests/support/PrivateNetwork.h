#pragma once

#include <QStringList>

#include <optional>

// Each function yields why it failed, nothing on success.
namespace nerova::test {

// Moves this process into a network namespace of its own, with loopback up, so that tests can
// change network sysctls and add links without touching the machine's network. Call it before
// any thread starts (threads keep the namespace they started in).
std::optional<QString> enterPrivateNetwork();

// Writes a sysctl of the current network namespace, for example "net/ipv4/ping_group_range".
std::optional<QString> writeSysctl(const QString& name, const QByteArray& value);

// Readies the private namespace for hundreds of probes at once: unprivileged ICMP datagram sockets
// for every group (as an unprivileged agent uses them) and room for 4096 open descriptors, as far
// as the hard limit allows.
std::optional<QString> prepareForManyProbes();

std::optional<QString> runIp(const QStringList& arguments);

// Adds the veth pair `link` and `peer` and sets both up.
std::optional<QString> addVethPair(const QString& link, const QString& peer);

// A DNS server that takes every query and answers none, for this process alone: a mount namespace
// of its own in which /etc/resolv.conf names a loopback address where a socket receives the
// queries. Create it after enterPrivateNetwork() and before any thread starts.
class SilentResolver {
public:
    static constexpr const char* address = "127.0.0.53";

    SilentResolver();
    ~SilentResolver();
    Q_DISABLE_COPY_MOVE(SilentResolver)

    // Why the resolver could not be set up; nothing when it is ready.
    const std::optional<QString>& error() const { return error_; }
    // The number of queries that arrived since the last call.
    int takeQueries();

private:
    int socket_ = -1;
    std::optional<QString> error_;
};

// A host that answers ARP but never echo requests: a namespace of its own, joined to the
// current one by a veth pair, with net.ipv4.icmp_echo_ignore_all set. Removed on destruction.
class SilentHost {
public:
    static constexpr const char* address = "198.18.0.2"; // the range set aside for benchmarking
    static constexpr const char* localAddress = "198.18.0.1";

    SilentHost();
    ~SilentHost();
    Q_DISABLE_COPY_MOVE(SilentHost)

    const std::optional<QString>& error() const { return error_; } // as SilentResolver's

private:
    QString namespaceName_;
    bool created_ = false;
    std::optional<QString> error_;
};

} // namespace nerova::test

#include "support/PrivateNetwork.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nerova::test {

std::optional<QString> enterPrivateNetwork()
{
    if (::unshare(CLONE_NEWNET) != 0) {
        return QStringLiteral("cannot create a network namespace (unshare: %1); run as root").arg(strerror(errno));
    }
    const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = control >= 0 && ::ioctl(control, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ::ioctl(control, SIOCSIFFLAGS, &request) == 0);
    const QString failure = QStringLiteral("cannot bring loopback up in the private network namespace: ") +
                            QString::fromLocal8Bit(strerror(errno));
    ::close(control);
    return up ? std::nullopt : std::optional(failure);
}

std::optional<QString> writeSysctl(const QString& name, const QByteArray& value)
{
    QFile file(QStringLiteral("/proc/sys/") + name);
    if (!file.open(QIODevice::WriteOnly) || file.write(value) != value.size() || !file.flush()) {
        return QStringLiteral("cannot set %1: %2").arg(name, file.errorString());
    }
    return std::nullopt;
}

std::optional<QString> prepareForManyProbes()
{
    if (const auto failure = writeSysctl(QStringLiteral("net/ipv4/ping_group_range"), "0 2147483647")) {
        return failure;
    }
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 4096 && limit.rlim_max >= 4096) {
        limit.rlim_cur = 4096;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    return std::nullopt;
}

// Runs the `ip` commands one after another up to the first that fails.
static std::optional<QString> runIpSteps(const QList<QStringList>& steps)
{
    for (const QStringList& step : steps) {
        if (std::optional<QString> failure = runIp(step)) {
            return failure;
        }
    }
    return std::nullopt;
}

std::optional<QString> addVethPair(const QString& link, const QString& peer)
{
    return runIpSteps({{"link", "add", link, "type", "veth", "peer", "name", peer},
                       {"link", "set", link, "up"},
                       {"link", "set", peer, "up"}});
}

std::optional<QString> runIp(const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("ip"), arguments);
    if (!process.waitForFinished(20000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return QStringLiteral("ip %1 failed: %2 %3")
            .arg(arguments.join(u' '), process.errorString(), QString::fromLocal8Bit(process.readAll()).trimmed());
    }
    return std::nullopt;
}

SilentResolver::SilentResolver()
{
    const auto failed = [](const char* step) { return QStringLiteral("%1: %2").arg(step, strerror(errno)); };
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(53);
    ::inet_pton(AF_INET, address, &server.sin_addr);
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        error_ = failed("cannot listen on port 53 of the private network namespace");
        return;
    }
    // One try of three seconds per query: a lookup left behind ends soon after its test.
    char path[] = "/tmp/nerova-resolv-XXXXXX";
    const int file = ::mkstemp(path);
    const QByteArray text = QByteArray("nameserver ") + address + "\noptions timeout:3 attempts:1\n";
    const bool written = file >= 0 && ::write(file, text.constData(), text.size()) == text.size();
    ::close(file);
    if (!written) {
        error_ = failed("cannot write a resolver configuration");
    } else if (::unshare(CLONE_NEWNS) != 0) {
        error_ = failed("cannot create a mount namespace (unshare)");
    } else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
               ::mount(path, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) {
        error_ = failed("cannot mount a resolver configuration over /etc/resolv.conf");
    }
    ::unlink(path); // the mount keeps the file
}

SilentResolver::~SilentResolver() { ::close(socket_); }

int SilentResolver::takeQueries()
{
    int count = 0;
    char buffer[512];
    while (::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT) >= 0) {
        ++count;
    }
    return count;
}

SilentHost::SilentHost() : namespaceName_(QStringLiteral("nerova-silent-%1").arg(QCoreApplication::applicationPid()))
{
    const QString ours = QStringLiteral("nsv%1a").arg(QCoreApplication::applicationPid());
    const QString theirs = QStringLiteral("nsv%1b").arg(QCoreApplication::applicationPid());
    error_ = runIp({"netns", "add", namespaceName_});
    created_ = !error_;
    if (created_) {
        error_ = runIpSteps({
            {"link", "add", ours, "type", "veth", "peer", "name", theirs, "netns", namespaceName_},
            {"addr", "add", QStringLiteral("%1/24").arg(localAddress), "dev", ours},
            {"link", "set", ours, "up"},
            {"-n", namespaceName_, "addr", "add", QStringLiteral("%1/24").arg(address), "dev", theirs},
            {"-n", namespaceName_, "link", "set", theirs, "up"},
            {"netns", "exec", namespaceName_, "sysctl", "-q", "-w", "net.ipv4.icmp_echo_ignore_all=1"},
        });
    }
}

SilentHost::~SilentHost()
{
    if (created_) {
        runIp({"netns", "del", namespaceName_}); // takes the veth pair with it
    }
}

} // namespace nerova::test

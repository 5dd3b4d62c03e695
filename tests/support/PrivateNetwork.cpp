#include "support/PrivateNetwork.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
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
    const QString failure = QString::fromLocal8Bit(strerror(errno));
    if (control >= 0) {
        ::close(control);
    }
    if (!up) {
        return QStringLiteral("cannot bring loopback up in the private network namespace: ") + failure;
    }
    return std::nullopt;
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

SilentHost::SilentHost() : namespaceName_(QStringLiteral("nerova-silent-%1").arg(QCoreApplication::applicationPid()))
{
    const QString ours = QStringLiteral("nsv%1a").arg(QCoreApplication::applicationPid());
    const QString theirs = QStringLiteral("nsv%1b").arg(QCoreApplication::applicationPid());
    error_ = runIp({"netns", "add", namespaceName_});
    created_ = !error_;
    const QList<QStringList> steps{
        {"link", "add", ours, "type", "veth", "peer", "name", theirs, "netns", namespaceName_},
        {"addr", "add", QStringLiteral("%1/24").arg(localAddress), "dev", ours},
        {"link", "set", ours, "up"},
        {"-n", namespaceName_, "addr", "add", QStringLiteral("%1/24").arg(address), "dev", theirs},
        {"-n", namespaceName_, "link", "set", theirs, "up"},
        {"netns", "exec", namespaceName_, "sysctl", "-q", "-w", "net.ipv4.icmp_echo_ignore_all=1"},
    };
    for (const QStringList& step : steps) {
        if (!error_) {
            error_ = runIp(step);
        }
    }
}

SilentHost::~SilentHost()
{
    if (created_) {
        runIp({"netns", "del", namespaceName_}); // takes the veth pair with it
    }
}

} // namespace nerova::test

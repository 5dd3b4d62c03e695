#pragma once

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QString>

#include <vector>

namespace nerova {

// The DNS search and route-only domains of every link, from systemd-resolved on `bus`; where it
// does not run, every `search` and `domain` line of `resolvConf` in file order. Lower case,
// trailing dot removed, first occurrence kept.
class DnsDomainReader {
public:
    DnsDomainReader(QDBusConnection bus, QString resolvConf);

    QCoro::Task<std::vector<QString>> read() const;

private:
    QDBusConnection bus_;
    QString resolvConf_;
};

} // namespace nerova

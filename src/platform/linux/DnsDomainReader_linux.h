#pragma once

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <QString>

#include <memory>
#include <vector>

namespace nerova {

// The DNS search and route-only domains of every link, from systemd-resolved on `bus`; where it
// does not run, every `search` and `domain` line of `resolvConf` in file order. Lower case,
// trailing dot removed, first occurrence kept. A source that cannot be read is named once in the log.
class DnsDomainReader {
public:
    DnsDomainReader(QDBusConnection bus, QString resolvConf);

    // Never blocks on the bus; the file is small and local, and read up to a bound.
    QCoro::Task<std::vector<QString>> read() const;

private:
    struct State;
    // Shared with the reads still running, so that they may outlive the reader.
    std::shared_ptr<State> state_;
};

} // namespace nerova

#pragma once

#include "agent/MachineState.h"
#include "network/NetworkChangeSource.h"

#include <QString>

#include <memory>

// The Linux sources behind the neutral factories, for the tests and benchmarks that drive one of
// them directly.
namespace nerova {

// Link, IPv4-address, IPv6-address and default-route changes of the current network namespace, and
// changes of a default gateway's link-layer address, from a netlink socket. Nothing when the socket
// cannot be opened (the reason is logged once).
std::unique_ptr<NetworkChangeSource> makeNetlinkChangeSource(NetworkChangeSource::Trigger trigger);

// The machine waking up from suspend (logind's PrepareForSleep(false) on the system bus). Nothing
// when the system bus cannot be reached.
std::unique_ptr<NetworkChangeSource> makeResumeChangeSource(NetworkChangeSource::Trigger trigger);

// The facts of a machine: DMI under `dmiDirectory` and the pretty host name in `machineInfoFile`.
std::shared_ptr<const MachineFacts> makeDmiMachineFacts(QString dmiDirectory, QString machineInfoFile);

} // namespace nerova

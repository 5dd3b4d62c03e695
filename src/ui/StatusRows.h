#pragma once

#include "ui/LabelValueModel.h"

#include <QDateTime>

#include <vector>

namespace nerova {

class Agent;

// A point in time as the user's locale writes a short date and a short time; "Never" when absent.
QString shortDateTime(const QDateTime& time);

// The rows of the "Agent" tab: identifier, registration and the three times.
std::vector<LabelValueRow> agentRows(const Agent& agent);
// The rows of the "Machine" tab: user, computer name, device type, serial number, location and the
// peripherals of the latest snapshot.
std::vector<LabelValueRow> machineRows(const Agent& agent);

} // namespace nerova

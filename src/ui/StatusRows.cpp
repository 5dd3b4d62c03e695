#include "ui/StatusRows.h"

#include "agent/Agent.h"
#include "agent/ReportingPolicy.h"
#include "ui/UserDisplayName.h"

#include <QLocale>

#include <utility>

namespace nerova {

namespace {
const QString unknown = QStringLiteral("Unknown");
}

QString shortDateTime(const QDateTime& time)
{
    return time.isValid() ? QLocale().toString(time.toLocalTime(), QLocale::ShortFormat) : QStringLiteral("Never");
}

std::vector<LabelValueRow> agentRows(const Agent& agent)
{
    // A damaged settings file cannot keep a new identifier: none is made up for the window (the
    // agent's message tells what is wrong with the file).
    Settings& settings = agent.settings();
    const QString agentId = settings.fileProblem()
                                ? settings.text(QString::fromLatin1(settingskey::agentID)).value_or(QString())
                                : settings.agentIdentifier();
    return {
        {QStringLiteral("Agent Id:"), agentId, {}},
        {QStringLiteral("Registered:"), agent.isRegistered() ? QStringLiteral("Yes") : QStringLiteral("No"), {}},
        {QStringLiteral("Last check-in:"), shortDateTime(agent.lastCheckin()), {}},
        {QStringLiteral("Last presence check"), shortDateTime(agent.lastPresenceCheck()), {}},
        {QStringLiteral("Last presence sent"), shortDateTime(agent.lastPresenceSend()), {}},
    };
}

std::vector<LabelValueRow> machineRows(const Agent& agent)
{
    const MachineState& machine = agent.machineState();
    const std::optional<Fingerprint>& fingerprint = agent.fingerprint();
    std::vector<LabelValueRow> rows{
        {QStringLiteral("User name:"), userDisplayName(agent.settings()), {}},
        {QStringLiteral("Machine name:"), machine.computerName().value_or(unknown), {}},
        {QStringLiteral("Device type:"), machine.modelName(), machine.deviceSymbol()},
        {QStringLiteral("Serial number:"), machine.serialNumber().value_or(unknown), {}},
        {QStringLiteral("Location:"),
         !agent.reportingPolicy().notice().isEmpty() ? agent.reportingPolicy().notice()
         : fingerprint                               ? fingerprint->name
                                                     : QStringLiteral("Not determined"),
         {}},
    };
    // The displays and USB devices of the latest snapshot, one a line under one label.
    const std::optional<NetworkContext>& context = agent.context();
    const std::vector<Peripheral> none;
    const std::vector<Peripheral>& peripherals = context ? context->evidence.peripherals : none;
    QString label = QStringLiteral("Peripherals:");
    if (peripherals.empty()) {
        rows.push_back({label, QStringLiteral("None"), {}});
    }
    for (const Peripheral& peripheral : peripherals) {
        rows.push_back(
            {std::exchange(label, QString()), QStringLiteral("%1 (%2)").arg(peripheral.name, peripheral.id), {}});
    }
    return rows;
}

} // namespace nerova

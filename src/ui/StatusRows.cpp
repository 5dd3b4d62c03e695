#include "ui/StatusRows.h"

#include "agent/Agent.h"
#include "agent/ReportingPolicy.h"
#include "ui/Translations.h"
#include "ui/UserDisplayName.h"

#include <QCoreApplication>
#include <QLocale>

#include <utility>

namespace nerova {

namespace {
QString unknown() { return QCoreApplication::translate("StatusRows", "Unknown"); }

// The model's name, or what the agent says when the machine does not tell it.
QString modelText(const MachineState& machine)
{
    const QString model = machine.modelName();
    return model == QLatin1String(MachineState::unknownModel)
               ? QCoreApplication::translate("StatusRows", "Unknown Device")
               : model;
}
} // namespace

QString shortDateTime(const QDateTime& time)
{
    return time.isValid() ? QLocale().toString(time.toLocalTime(), QLocale::ShortFormat)
                          : QCoreApplication::translate("StatusRows", "Never");
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
        {QCoreApplication::translate("StatusRows", "Agent Id:"), agentId, {}},
        {QCoreApplication::translate("StatusRows", "Registered:"),
         agent.isRegistered() ? QCoreApplication::translate("StatusRows", "Yes")
                              : QCoreApplication::translate("StatusRows", "No"),
         {}},
        {QCoreApplication::translate("StatusRows", "Last check-in:"), shortDateTime(agent.lastCheckin()), {}},
        {QCoreApplication::translate("StatusRows", "Last presence check"),
         shortDateTime(agent.lastPresenceCheck()),
         {}},
        {QCoreApplication::translate("StatusRows", "Last presence sent"), shortDateTime(agent.lastPresenceSend()), {}},
    };
}

std::vector<LabelValueRow> machineRows(const Agent& agent)
{
    const MachineState& machine = agent.machineState();
    const std::optional<Fingerprint>& fingerprint = agent.fingerprint();
    const QString notice = reportingNoticeText(agent.reportingPolicy());
    std::vector<LabelValueRow> rows{
        {QCoreApplication::translate("StatusRows", "User name:"), userDisplayName(agent.settings()), {}},
        {QCoreApplication::translate("StatusRows", "Machine name:"), machine.computerName().value_or(unknown()), {}},
        {QCoreApplication::translate("StatusRows", "Device type:"), modelText(machine), machine.deviceSymbol()},
        {QCoreApplication::translate("StatusRows", "Serial number:"), machine.serialNumber().value_or(unknown()), {}},
        {QCoreApplication::translate("StatusRows", "Location:"),
         !notice.isEmpty() ? notice
         : fingerprint     ? fingerprint->name
                           : QCoreApplication::translate("StatusRows", "Not determined"),
         {}},
    };
    // The displays and USB devices of the latest snapshot, one a line under one label.
    const std::optional<NetworkContext>& context = agent.context();
    const std::vector<Peripheral> none;
    const std::vector<Peripheral>& peripherals = context ? context->evidence.peripherals : none;
    QString label = QCoreApplication::translate("StatusRows", "Peripherals:");
    if (peripherals.empty()) {
        rows.push_back({label, QCoreApplication::translate("StatusRows", "None"), {}});
    }
    for (const Peripheral& peripheral : peripherals) {
        rows.push_back(
            {std::exchange(label, QString()), QStringLiteral("%1 (%2)").arg(peripheral.name, peripheral.id), {}});
    }
    return rows;
}

} // namespace nerova

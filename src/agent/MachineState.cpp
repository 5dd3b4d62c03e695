#include "agent/MachineState.h"

#include "agent/UserState.h"

#include <QLoggingCategory>
#include <QStringDecoder>

namespace nerova {

namespace {

Q_LOGGING_CATEGORY(lcMachineState, "nerova.MachineState", QtInfoMsg)

// SMBIOS chassis types of portable machines, and of mini PCs.
bool isPortableChassis(int type)
{
    switch (type) {
    case 9:  // laptop
    case 10: // notebook
    case 14: // sub-notebook
    case 31: // convertible
    case 32: // detachable
        return true;
    default: return false;
    }
}
constexpr int miniPcChassis = 35;

bool isBlankOrControl(QChar c) { return c.isSpace() || c.category() == QChar::Other_Control; }

} // namespace

MachineState::MachineState(std::shared_ptr<const MachineFacts> facts)
    : facts_(std::move(facts)), serialNumber_(facts_->serialNumber())
{
    if (!serialNumber_) {
        qCDebug(lcMachineState, "No readable serial number");
    }
}

QString MachineState::modelName() const
{
    const auto bytes = facts_->model();
    if (!bytes) {
        return QString::fromLatin1(unknownModel);
    }
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(*bytes);
    if (decoder.hasError()) {
        return QString::fromLatin1(unknownModel);
    }
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlankOrControl(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlankOrControl(text[end - 1])) {
        --end;
    }
    return begin == end ? QString::fromLatin1(unknownModel) : text.sliced(begin, end - begin);
}

QString MachineState::deviceSymbol() const
{
    const QString model = modelName().toLower();
    if (model.contains(u"mini")) {
        return QStringLiteral("macmini");
    }
    if (model.contains(u"book")) {
        return QStringLiteral("macbook");
    }
    // Model identifiers of other makers rarely say what the machine is; the chassis does.
    if (const auto chassis = facts_->chassisType()) {
        if (isPortableChassis(*chassis)) {
            return QStringLiteral("macbook");
        }
        if (*chassis == miniPcChassis) {
            return QStringLiteral("macmini");
        }
    }
    return QStringLiteral("desktopcomputer");
}

std::optional<QString> MachineState::computerName() const { return facts_->computerName(); }

DeviceInformation makeDeviceInformation(const MachineState& machine, const Settings& settings)
{
    const auto username = settings.managedSetting(QString::fromLatin1(settingskey::username));
    const QString unknown = QStringLiteral("unknown");
    return DeviceInformation{
        username && !username->isEmpty() ? *username : loginName(),
        AgentDeviceType::mac,
        machine.serialNumber().value_or(unknown),
        machine.computerName().value_or(unknown),
    };
}

} // namespace nerova

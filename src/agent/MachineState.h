#pragma once

#include "common/Settings.h"
#include "service/DeviceInformation.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

namespace nerova {

// What the platform tells about the machine: its hardware description and its computer name.
class MachineFacts {
public:
    virtual ~MachineFacts() = default;
    virtual std::optional<QString> serialNumber() const = 0;
    virtual std::optional<QByteArray> model() const = 0; // the model identifier's raw bytes
    virtual std::optional<int> chassisType() const = 0;  // SMBIOS chassis type
    virtual std::optional<QString> computerName() const = 0;
};

// The facts of this machine, as its platform tells them.
std::shared_ptr<const MachineFacts> makeMachineFacts();

// The machine the agent runs on: its serial number (read once) and, read at each use, its model
// and the symbol that the views draw for it.
class MachineState {
public:
    static constexpr const char* unknownModel = "Unknown Device";

    explicit MachineState(std::shared_ptr<const MachineFacts> facts = makeMachineFacts());

    const std::optional<QString>& serialNumber() const { return serialNumber_; }
    // The model identifier without surrounding control characters and blanks, or "Unknown Device".
    QString modelName() const;
    // "macmini", "macbook" or "desktopcomputer".
    QString deviceSymbol() const;
    // The user-visible computer name; absent when it cannot be read.
    std::optional<QString> computerName() const;

private:
    std::shared_ptr<const MachineFacts> facts_;
    std::optional<QString> serialNumber_;
};

// The enrolment record of this machine: the managed "username" (else the login name), the serial
// number and the computer name ("unknown" when either is missing), device type `mac`.
DeviceInformation makeDeviceInformation(const MachineState& machine, const Settings& settings);

} // namespace nerova

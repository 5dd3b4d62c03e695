#pragma once

#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>

namespace nerova {

// What a monitor's EDID says about which monitor it is: the base block's vendor and product
// identification and its serial and name descriptors.
struct EdidIdentity {
    QString manufacturer; // three letters from the PnP id; '?' for a letter outside A..Z
    std::uint16_t productCode = 0;
    std::uint32_t serialNumber = 0;
    QString serialText; // the serial number descriptor (tag 0xFF); empty when there is none
    QString name;       // the display name descriptor (tag 0xFC); empty when there is none

    // "display:MFG-pppp-ssssssss", followed by "-" and the serial text when there is one.
    QString peripheralId() const;
    // Whether the id names this one monitor: false when the serial number is 0 or the common
    // placeholder 0x01010101 and no serial text exists.
    bool uniqueSerial() const;
    // The name descriptor, else "MFG pppp".
    QString displayName() const;

    friend bool operator==(const EdidIdentity&, const EdidIdentity&) = default;
};

// Decodes the base block of an EDID blob. Nothing for a blob shorter than 128 bytes, without the
// fixed header, or whose base block fails its checksum. Extension blocks are not looked at.
std::optional<EdidIdentity> decodeEdid(QByteArrayView blob);

} // namespace nerova

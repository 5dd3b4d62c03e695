#pragma once

#include <QStringView>

#include <array>

namespace nerova {

// The keys of the settings store, spelled exactly as stored.
namespace settingskey {
inline constexpr const char* agentEndpoint = "agentEndpoint";
inline constexpr const char* registrationKey = "registrationKey";
inline constexpr const char* username = "username";
inline constexpr const char* isRegistered = "isRegistered";
inline constexpr const char* agentID = "agentID";
inline constexpr const char* projectID = "projectID";
inline constexpr const char* instanceID = "instanceID";
inline constexpr const char* fingerprintURL = "fingerprintURL";
inline constexpr const char* fingerprintExpiry = "fingerprintExpiry";
inline constexpr const char* fingerprintETag = "fingerprintETag";
inline constexpr const char* allowQuit = "allowQuit";
inline constexpr const char* publicIpEndpoint = "publicIpEndpoint";
inline constexpr const char* reportingHours = "reportingHours";
inline constexpr const char* allowPause = "allowPause";
inline constexpr const char* reportPrecision = "reportPrecision";
inline constexpr const char* privacyNoticeUrl = "privacyNoticeUrl";
inline constexpr const char* privacyNoticeShown = "privacyNoticeShown";
} // namespace settingskey

enum class SettingKind { text, url, flag, integer };

// One key of the settings store: how the agent reads it, whether the managed configuration's text
// wins over the user's value, whether only the managed configuration may set it (the user's value
// is then ignored), and what applies when it is not set. `config` lists, reads and sets every key
// of the table.
struct SettingKey {
    const char* name;
    SettingKind kind;
    bool managed;
    const char* byDefault; // the value, or what stands in for it
    bool managedOnly;
};

inline constexpr std::array settingKeys{
    SettingKey{settingskey::agentEndpoint, SettingKind::url, true, "not configured", false},
    SettingKey{settingskey::registrationKey, SettingKind::text, true, "not configured", false},
    SettingKey{settingskey::username, SettingKind::text, true, "the login name", false},
    SettingKey{settingskey::isRegistered, SettingKind::flag, false, "false", false},
    SettingKey{settingskey::agentID, SettingKind::text, false, "generated on first use", false},
    SettingKey{settingskey::projectID, SettingKind::text, false, "set at enrolment", false},
    SettingKey{settingskey::instanceID, SettingKind::text, false, "set at enrolment", false},
    SettingKey{settingskey::fingerprintURL, SettingKind::url, false, "requested at check-in", false},
    SettingKey{settingskey::fingerprintExpiry, SettingKind::integer, false, "0", false},
    SettingKey{settingskey::fingerprintETag, SettingKind::text, false, "none", false},
    SettingKey{settingskey::allowQuit, SettingKind::flag, false, "false", false},
    SettingKey{settingskey::publicIpEndpoint, SettingKind::url, false, "https://api.ipify.org?format=json", false},
    // The company's rules for reporting, set by the administrator alone.
    SettingKey{settingskey::reportingHours, SettingKind::text, true, "always", true},
    SettingKey{settingskey::allowPause, SettingKind::flag, true, "false", true},
    SettingKey{settingskey::reportPrecision, SettingKind::text, true, "place", true},
    SettingKey{settingskey::privacyNoticeUrl, SettingKind::url, true, "none", true},
    SettingKey{settingskey::privacyNoticeShown, SettingKind::flag, false, "false", false},
};

// The table's entry for `name`; nothing for a key the table does not know.
inline const SettingKey* findSettingKey(QStringView name)
{
    for (const SettingKey& key : settingKeys) {
        if (name == QLatin1String(key.name)) {
            return &key;
        }
    }
    return nullptr;
}

} // namespace nerova

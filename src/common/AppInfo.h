#pragma once

#include <QString>

namespace nerova {

// The agent's version and build number as the build recorded them; "Unknown" when not set.
QString appVersion();
QString appBuild();

// The folder of the agent's files (the stored fingerprint file, the activity record):
// "Nerova/NerovaAgent" in the user's data folder ($XDG_DATA_HOME, ~/.local/share), whatever name the
// process goes by (the desktop agent shows "Nerova Agent").
QString appDataDirectory();

} // namespace nerova

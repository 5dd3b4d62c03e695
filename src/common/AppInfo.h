#pragma once

#include <QString>

namespace nerova {

// The agent's version and build number as the build recorded them; "Unknown" when not set.
QString appVersion();
QString appBuild();

} // namespace nerova

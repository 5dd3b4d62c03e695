#pragma once

#include "common/Settings.h"

#include <QString>

namespace nerova {

// The user name the views show: the managed "username", or the login name when that gives nothing.
QString userDisplayName(const Settings& settings);

} // namespace nerova

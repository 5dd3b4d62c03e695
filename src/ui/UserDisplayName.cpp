#include "ui/UserDisplayName.h"

#include "agent/UserState.h"

namespace nerova {

QString userDisplayName(const Settings& settings)
{
    const std::optional<QString> managed = settings.managedSetting(QString::fromLatin1(settingskey::username));
    return managed && !managed->isEmpty() ? *managed : loginName();
}

} // namespace nerova

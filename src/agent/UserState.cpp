#include "agent/UserState.h"

#include <pwd.h>
#include <unistd.h>

namespace nerova {

QString loginName()
{
    if (const passwd* entry = getpwuid(geteuid()); entry && entry->pw_name && *entry->pw_name) {
        return QString::fromLocal8Bit(entry->pw_name);
    }
    for (const char* variable : {"USER", "LOGNAME"}) {
        if (const QString name = qEnvironmentVariable(variable); !name.isEmpty()) {
            return name;
        }
    }
    return QStringLiteral("unknown");
}

} // namespace nerova

#include "service/AgentSecretError.h"

namespace nerova {

QString AgentSecretError::description() const
{
    const char* name = "failed";
    switch (case_) {
    case Case::invalidText: name = "invalidText"; break;
    case Case::noSessionBus: name = "noSessionBus"; break;
    case Case::noSecretService: name = "noSecretService"; break;
    case Case::timedOut: name = "timedOut"; break;
    case Case::failed: name = "failed"; break;
    }
    return describeCase(QString::fromLatin1(name), message_);
}

} // namespace nerova

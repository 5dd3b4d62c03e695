#pragma once

#include "common/Error.h"

namespace nerova {

struct AgentSecretErrorCases {
    NEROVA_ERROR_CASES(invalidText,     // the secret is not text that UTF-8 can carry, or the stored data is not UTF-8
                       noSessionBus,    // no D-Bus session bus is reachable
                       noSecretService, // nothing provides the Secret Service on the session bus
                       timedOut,        // the store did not answer in time (for example a locked keyring's prompt)
                       failed);         // the store reported an error
};

// Why the credential store could not read or write the agent secret, for example
// noSecretService("no Secret Service ..."). The message says what happened in words a user can act
// on; it never holds the secret.
class AgentSecretError final : public ErrorFamily<AgentSecretErrorCases> {
public:
    using ErrorFamily::ErrorFamily;
};

} // namespace nerova

#pragma once

#include "common/Json.h"

namespace nerova {

class Agent;

// The whole state of the running agent as one JSON object: enrolment, message, the three times
// (ISO 8601 UTC, null when absent), the matched fingerprint, whether the agent reports now
// ("reporting": its state, the notice that stands in for the location, the end of a pause), the installed file, the
// last network context, and the last evaluation in the form `check --explain --json` prints ("match", "error",
// "explain") plus its text explanation ("explanation").
Json agentStatus(const Agent& agent);

} // namespace nerova

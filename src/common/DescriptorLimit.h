#pragma once

#include <cstdint>

namespace nerova {

// Raises the process's soft limit on open descriptors to its hard limit (the common soft limit of
// 1,024 is easily reached by an evaluation with many probes). Yields the soft limit now in force.
std::int64_t raiseDescriptorLimit();

// How many more descriptors the process may open: the soft limit minus the descriptors open now.
std::int64_t descriptorsLeft();

} // namespace nerova

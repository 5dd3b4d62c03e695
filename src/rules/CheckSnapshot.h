#pragma once

#include "common/CancellationToken.h"
#include "network/NetworkContext.h"
#include "rules/PatternMatcher.h"

#include <chrono>
#include <exception>
#include <optional>
#include <vector>

namespace nerova {

// The context of one check, with the values of its IPv4 interface addresses parsed once, on first
// use: with thousands of internalIp conditions the same few addresses would otherwise be parsed
// again for every one of them. A malformed address raises wherever a condition reaches it, exactly
// as parsing it there would. Also holds what is left of the check's time for pattern searches,
// and the check's cancellation, which its probes watch.
class CheckSnapshot {
public:
    CheckSnapshot(const NetworkContext& context, std::chrono::nanoseconds patternBudget,
                  CancellationToken cancellation = {});

    const NetworkContext& context() const { return context_; }
    const CancellationToken& cancellation() const { return cancellation_; }

    // Searches `text` with `matcher` within what is left of the check's budget for patterns;
    // nothing once that is spent.
    std::optional<bool> search(PatternMatcher& matcher, const QString& text);

    // The value of the dotted quad of interface address `index`; raises CIDRErrors when malformed.
    qint64 addressValue(std::size_t index);

private:
    struct Parsed {
        bool done = false;
        qint64 value = 0;
        std::exception_ptr error;
    };

    const NetworkContext& context_;
    std::vector<Parsed> values_;
    std::chrono::nanoseconds patternTimeLeft_;
    CancellationToken cancellation_;
};

} // namespace nerova

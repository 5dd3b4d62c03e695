#pragma once

#include "common/Error.h"
#include "network/NetworkContext.h"
#include "rules/CIDRv4.h"
#include "rules/FingerprintFile.h"
#include "rules/RulesEngineEvaluation.h"
#include "rules/RulesEngineProbes.h"

#include <QCoro/QCoroTask>

#include <chrono>
#include <memory>
#include <optional>

namespace nerova {

class CheckSnapshot;

struct RulesEngineErrorCases {
    NEROVA_ERROR_CASES(invalidPattern, patternTimedOut);
};

// A condition that cannot be evaluated. An invalid TCP pattern makes the whole check raise; a
// pattern that runs out of the check's time for patterns only makes its condition false.
class RulesEngineError final : public ErrorFamily<RulesEngineErrorCases> {
public:
    using ErrorFamily::ErrorFamily;
};

// Decides which fingerprint of a file matches a network snapshot. Every fingerprint, rule,
// condition of a rule and nested rule is evaluated concurrently, nothing is short-circuited,
// and a call returns only after all of them have finished. Keeps no state between calls.
class RulesEngine {
public:
    static constexpr double pingTimeoutSeconds = 2.0;
    // The time all pattern searches of one check may take together, on the event loop; a search
    // still running when it is spent stops, and its condition is false.
    static constexpr std::chrono::milliseconds defaultPatternBudget{1000};

    // `probes` reach the network for ping, TCP and web-content conditions.
    explicit RulesEngine(std::shared_ptr<RulesEngineProbes> probes,
                         std::chrono::milliseconds patternBudget = defaultPatternBudget);

    // The matching fingerprint, or nothing. When several match, the one whose evaluation finished
    // first wins. Raises the first error of any condition (malformed CIDR or address text, an
    // invalid TCP pattern) once every evaluation has finished. `evaluation` receives the whole
    // evaluation tree; it must stay alive until the call has finished.
    QCoro::Task<std::optional<Fingerprint>> checkFingerprints(FingerprintFile file, NetworkContext context,
                                                              RulesEngineEvaluation& evaluation);
    // The same, for callers that need only the verdict.
    QCoro::Task<std::optional<Fingerprint>> checkFingerprints(FingerprintFile file, NetworkContext context);

private:
    QCoro::Task<std::pair<std::size_t, bool>> checkFingerprint(std::size_t index, const Fingerprint& fingerprint,
                                                               CheckSnapshot& snapshot,
                                                               FingerprintEvaluation& evaluation);
    QCoro::Task<bool> checkRule(const FingerprintRule& rule, CheckSnapshot& snapshot, RuleEvaluation& evaluation);
    QCoro::Task<bool> conditionValue(const FingerprintCondition& condition, CheckSnapshot& snapshot,
                                     ConditionEvaluation& evaluation);
    QCoro::Task<bool> checkCondition(const FingerprintCondition& condition, CheckSnapshot& snapshot,
                                     ConditionEvaluation& evaluation);

    std::shared_ptr<RulesEngineProbes> probes_;
    std::chrono::milliseconds patternBudget_;
};

} // namespace nerova

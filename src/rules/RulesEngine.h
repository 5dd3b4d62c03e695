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

// Decides which fingerprint of a file matches a network snapshot. First every condition that
// needs no network is decided, so that malformed text anywhere in the file raises before any probe
// starts. Then every fingerprint, rule, condition of a rule and nested rule is evaluated
// concurrently; as soon as one fingerprint has finished with a match, the check is decided and the
// probes still running are cancelled (they close their sockets and end at once). A call returns
// only after all of them have ended; with no match, that is after every probe has finished.
// Keeps no state between calls.
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
    // first wins, and what was still running then is marked not finished in `evaluation`. Raises
    // the first error, in file order, of a condition that needs no network to raise it (malformed
    // CIDR or address text, an invalid TCP pattern) before any probe starts, whatever else would
    // match. `evaluation` receives the whole evaluation tree; it must stay alive until the call has
    // finished.
    QCoro::Task<std::optional<Fingerprint>> checkFingerprints(FingerprintFile file, NetworkContext context,
                                                              RulesEngineEvaluation& evaluation);
    // The same, for callers that need only the verdict.
    QCoro::Task<std::optional<Fingerprint>> checkFingerprints(FingerprintFile file, NetworkContext context);

private:
    // Decides the own test of every condition that needs no network and checks what a probing
    // condition would raise before its probe; records errors, then raises the first.
    QCoro::Task<void> decideWithoutNetwork(const FingerprintFile& file, CheckSnapshot& snapshot,
                                           RulesEngineEvaluation& evaluation);
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

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

class QNetworkAccessManager;

namespace nerova {

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
    static constexpr std::chrono::milliseconds defaultWebContentTimeout{10'000};
    static constexpr double pingTimeoutSeconds = 2.0;
    // A web page larger than this fails the condition instead of filling the memory.
    static constexpr qint64 maxWebContentBytes = 16 * 1024 * 1024;
    // The time all pattern searches of one check may take together, on the event loop; a search
    // still running when it is spent stops, and its condition is false.
    static constexpr std::chrono::milliseconds defaultPatternBudget{1000};

    // `network` is the process's shared access manager, used for web-content conditions; it and
    // `probes` must outlive the engine.
    RulesEngine(QNetworkAccessManager& network, std::shared_ptr<RulesEngineProbes> probes,
                std::chrono::milliseconds webContentTimeout = defaultWebContentTimeout,
                std::chrono::milliseconds patternBudget = defaultPatternBudget);

    // The matching fingerprint, or nothing. When several match, the one whose evaluation finished
    // first wins. Raises the first error of any condition (malformed CIDR or address text, an
    // invalid TCP pattern) once every evaluation has finished. When `evaluation` is given it
    // receives the whole evaluation tree; it must stay alive until the call has finished.
    QCoro::Task<std::optional<Fingerprint>> checkFingerprints(FingerprintFile file, NetworkContext context,
                                                              RulesEngineEvaluation* evaluation = nullptr);

private:
    class Snapshot;

    QCoro::Task<std::pair<std::size_t, bool>> checkFingerprint(std::size_t index, const Fingerprint& fingerprint,
                                                               Snapshot& snapshot, FingerprintEvaluation* evaluation);
    QCoro::Task<bool> checkRule(const FingerprintRule& rule, Snapshot& snapshot, RuleEvaluation* evaluation);
    QCoro::Task<bool> conditionValue(const FingerprintCondition& condition, Snapshot& snapshot,
                                     ConditionEvaluation* evaluation);
    QCoro::Task<bool> checkCondition(const FingerprintCondition& condition, Snapshot& snapshot,
                                     ConditionEvaluation* evaluation);

    // The condition's "cidrRange" text and its range (raises CIDRErrors for bad text), logged as
    // checked; nothing, after logging `missingLine`, when the argument is missing.
    std::optional<std::pair<QString, CIDRv4>> rangeArgument(const FingerprintCondition& condition,
                                                            const char* missingLine,
                                                            ConditionEvaluation* evaluation) const;
    bool checkInternalIP(const FingerprintCondition& condition, Snapshot& snapshot,
                         ConditionEvaluation* evaluation) const;
    bool checkExternalIP(const FingerprintCondition& condition, const std::optional<QString>& externalIPv4,
                         ConditionEvaluation* evaluation) const;
    QCoro::Task<bool> checkPing(const FingerprintCondition& condition, ConditionEvaluation* evaluation);
    QCoro::Task<bool> checkWebContent(const FingerprintCondition& condition, Snapshot& snapshot,
                                      ConditionEvaluation* evaluation);
    QCoro::Task<bool> checkConnection(const FingerprintCondition& condition, Snapshot& snapshot,
                                      ConditionEvaluation* evaluation);

    QNetworkAccessManager& network_;
    std::shared_ptr<RulesEngineProbes> probes_;
    std::chrono::milliseconds webContentTimeout_;
    std::chrono::milliseconds patternBudget_;
};

} // namespace nerova

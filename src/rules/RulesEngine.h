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
    NEROVA_ERROR_CASES(invalidPattern);
};

// A condition that cannot be evaluated at all; unlike a failed probe it makes the whole check
// raise.
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

    // `network` is the process's shared access manager, used for web-content conditions; it and
    // `probes` must outlive the engine.
    RulesEngine(QNetworkAccessManager& network, std::shared_ptr<RulesEngineProbes> probes,
                std::chrono::milliseconds webContentTimeout = defaultWebContentTimeout);

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
    QCoro::Task<bool> checkWebContent(const FingerprintCondition& condition, ConditionEvaluation* evaluation);
    QCoro::Task<bool> checkConnection(const FingerprintCondition& condition, ConditionEvaluation* evaluation);

    QNetworkAccessManager& network_;
    std::shared_ptr<RulesEngineProbes> probes_;
    std::chrono::milliseconds webContentTimeout_;
};

} // namespace nerova

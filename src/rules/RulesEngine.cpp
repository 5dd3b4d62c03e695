#include "rules/RulesEngine.h"

#include "common/TaskGroup.h"
#include "rules/CheckSnapshot.h"
#include "rules/ConditionCheckers.h"
#include "rules/RulesEngineLogging.h"

#include <algorithm>

namespace nerova {

Q_LOGGING_CATEGORY(lcRulesEngine, "nerova.RulesEngine", QtInfoMsg)

RulesEngine::RulesEngine(std::shared_ptr<RulesEngineProbes> probes, std::chrono::milliseconds patternBudget)
    : probes_(std::move(probes)), patternBudget_(patternBudget)
{}

QCoro::Task<std::optional<Fingerprint>> RulesEngine::checkFingerprints(FingerprintFile file, NetworkContext context)
{
    RulesEngineEvaluation evaluation;
    std::optional<Fingerprint> match = co_await checkFingerprints(std::move(file), std::move(context), evaluation);
    co_return match;
}

QCoro::Task<std::optional<Fingerprint>> RulesEngine::checkFingerprints(FingerprintFile file, NetworkContext context,
                                                                       RulesEngineEvaluation& evaluation)
{
    qCDebug(lcRulesEngine, "Starting fingerprint check");
    evaluation = RulesEngineEvaluation::outline(file);
    // The children refer to `file`, `context`, `snapshot` and the evaluation, which outlive the group:
    // once cancelled, the children are still awaited, and they end at once.
    CancellationSource cancellation;
    CheckSnapshot snapshot(context, patternBudget_, cancellation.token());
    co_await decideWithoutNetwork(file, snapshot, evaluation);
    TaskGroup<std::pair<std::size_t, bool>> group;
    for (std::size_t i = 0; i < file.fingerprints.size(); ++i) {
        const Fingerprint& fingerprint = file.fingerprints[i];
        qCDebug(lcRulesEngine, "Checking fingeprint %s", qUtf8Printable(fingerprint.name));
        group.add(checkFingerprint(i, fingerprint, snapshot, evaluation.fingerprints[i]));
    }
    std::optional<std::size_t> firstMatch;
    while (const std::optional<std::pair<std::size_t, bool>> result = co_await group.next()) {
        if (result->second && !firstMatch) {
            firstMatch = result->first;
            if (group.running() > 0) {
                qCDebug(lcRulesEngine, "Matched %s, stopping %d unfinished fingerprints",
                        qUtf8Printable(file.fingerprints[*firstMatch].name), group.running());
                cancellation.cancel();
            }
        }
    }
    qCDebug(lcRulesEngine, "Finished fingerprint check");
    if (!firstMatch) {
        co_return std::nullopt;
    }
    co_return std::move(file.fingerprints[*firstMatch]);
}

namespace {

// Every condition of `rules` and of their nested rules, depth first, with its evaluation.
void collectConditions(const std::vector<FingerprintRule>& rules, std::vector<RuleEvaluation>& evaluations,
                       std::vector<std::pair<const FingerprintCondition*, ConditionEvaluation*>>& conditions)
{
    for (std::size_t i = 0; i < rules.size(); ++i) {
        for (std::size_t j = 0; j < rules[i].conditions.size(); ++j) {
            const FingerprintCondition& condition = rules[i].conditions[j];
            ConditionEvaluation& evaluation = evaluations[i].conditions[j];
            conditions.emplace_back(&condition, &evaluation);
            collectConditions(condition.rules, evaluation.rules, conditions);
        }
    }
}

} // namespace

QCoro::Task<void> RulesEngine::decideWithoutNetwork(const FingerprintFile& file, CheckSnapshot& snapshot,
                                                    RulesEngineEvaluation& evaluation)
{
    std::vector<std::pair<const FingerprintCondition*, ConditionEvaluation*>> conditions;
    for (std::size_t i = 0; i < file.fingerprints.size(); ++i) {
        collectConditions(file.fingerprints[i].rules, evaluation.fingerprints[i].rules, conditions);
    }
    std::exception_ptr firstError;
    for (const auto& [condition, conditionEvaluation] : conditions) {
        try {
            switch (condition->type) {
            case FingerprintConditionType::ping:
            case FingerprintConditionType::webContent: break; // nothing to check before the request
            case FingerprintConditionType::connection: checkConnectionPattern(*condition); break;
            default:
                conditionEvaluation->own = co_await checkCondition(*condition, snapshot, *conditionEvaluation);
                break;
            }
        } catch (const std::exception& error) {
            conditionEvaluation->error = describeException(error);
            if (!firstError) {
                firstError = std::current_exception();
            }
        }
    }
    if (firstError) {
        std::rethrow_exception(firstError);
    }
}

QCoro::Task<std::pair<std::size_t, bool>> RulesEngine::checkFingerprint(std::size_t index,
                                                                        const Fingerprint& fingerprint,
                                                                        CheckSnapshot& snapshot,
                                                                        FingerprintEvaluation& evaluation)
{
    TaskGroup<bool> group;
    for (std::size_t i = 0; i < fingerprint.rules.size(); ++i) {
        const FingerprintRule& rule = fingerprint.rules[i];
        qCDebug(lcRulesEngine, "Checking rule %s", qUtf8Printable(rule.name));
        group.add(checkRule(rule, snapshot, evaluation.rules[i]));
    }
    bool matched = false;
    while (const std::optional<bool> result = co_await group.next()) {
        matched = matched || *result;
    }
    evaluation.finished = std::ranges::all_of(evaluation.rules, &RuleEvaluation::finished);
    if (!evaluation.finished) {
        co_return std::pair{index, false};
    }
    evaluation.matched = matched;
    co_return std::pair{index, matched};
}

// A rule holds when all of its conditions hold, and never when it has none. The conditions run
// concurrently and every one of them is awaited.
QCoro::Task<bool> RulesEngine::checkRule(const FingerprintRule& rule, CheckSnapshot& snapshot,
                                         RuleEvaluation& evaluation)
{
    TaskGroup<bool> group;
    for (std::size_t i = 0; i < rule.conditions.size(); ++i) {
        group.add(conditionValue(rule.conditions[i], snapshot, evaluation.conditions[i]));
    }
    bool holds = !rule.conditions.empty();
    while (const std::optional<bool> result = co_await group.next()) {
        holds = holds && *result;
    }
    evaluation.finished = std::ranges::all_of(evaluation.conditions, &ConditionEvaluation::finished);
    if (!evaluation.finished) {
        co_return false;
    }
    evaluation.value = holds;
    co_return holds;
}

// The value of a condition: its own test (decided already when it needs no network), then its
// nested rules. A cancelled probe leaves the condition unfinished; its value is then left out.
QCoro::Task<bool> RulesEngine::conditionValue(const FingerprintCondition& condition, CheckSnapshot& snapshot,
                                              ConditionEvaluation& evaluation)
{
    if (!evaluation.own) {
        try {
            evaluation.own = co_await checkCondition(condition, snapshot, evaluation);
        } catch (const OperationCancelled&) {
            evaluation.finished = false;
        } catch (const std::exception& error) {
            evaluation.error = describeException(error);
            throw;
        }
    }
    bool value = evaluation.own.value_or(false);
    if (!condition.rules.empty()) {
        // Evaluated even when the own test is false.
        TaskGroup<bool> group;
        for (std::size_t i = 0; i < condition.rules.size(); ++i) {
            group.add(checkRule(condition.rules[i], snapshot, evaluation.rules[i]));
        }
        bool nested = false;
        while (const std::optional<bool> result = co_await group.next()) {
            nested = nested || *result;
        }
        if (std::ranges::all_of(evaluation.rules, &RuleEvaluation::finished)) {
            evaluation.nested = nested;
        } else {
            evaluation.finished = false;
        }
        value = value && nested;
    }
    if (!evaluation.finished) {
        co_return false;
    }
    value = value != condition.inverted;
    evaluation.value = value;
    co_return value;
}

QCoro::Task<bool> RulesEngine::checkCondition(const FingerprintCondition& condition, CheckSnapshot& snapshot,
                                              ConditionEvaluation& evaluation)
{
    qCDebug(lcRulesEngine, "Checking condition");
    switch (condition.type) {
    case FingerprintConditionType::internalIp: co_return checkInternalIP(condition, snapshot, evaluation);
    case FingerprintConditionType::externalIp: co_return checkExternalIP(condition, snapshot, evaluation);
    case FingerprintConditionType::gateway: co_return checkGateway(condition, snapshot, evaluation);
    case FingerprintConditionType::wireless: co_return checkWireless(condition, snapshot, evaluation);
    case FingerprintConditionType::dnsDomain: co_return checkDnsDomain(condition, snapshot, evaluation);
    case FingerprintConditionType::tunnel: co_return checkTunnel(snapshot, evaluation);
    case FingerprintConditionType::peripheral: co_return checkPeripheral(condition, snapshot, evaluation);
    case FingerprintConditionType::ping: co_return co_await checkPing(condition, *probes_, snapshot, evaluation);
    case FingerprintConditionType::webContent:
        co_return co_await checkWebContent(condition, *probes_, snapshot, evaluation);
    case FingerprintConditionType::connection:
        co_return co_await checkConnection(condition, *probes_, snapshot, evaluation);
    case FingerprintConditionType::or_:
        evaluation.observed = condition.rules.empty() ? QStringLiteral("no nested rules")
                                                      : QStringLiteral("holds through its nested rules");
        co_return !condition.rules.empty();
    }
    co_return false;
}

} // namespace nerova

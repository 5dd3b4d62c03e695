#include "rules/RulesEngineEvaluation.h"

namespace nerova {

namespace {

RuleEvaluation outlineRule(const FingerprintRule& rule);

ConditionEvaluation outlineCondition(const FingerprintCondition& condition)
{
    ConditionEvaluation evaluation{
        condition.type, condition.arguments, condition.inverted, {}, {}, {}, {}, {}, {}, true};
    evaluation.rules.reserve(condition.rules.size());
    for (const FingerprintRule& rule : condition.rules) {
        evaluation.rules.push_back(outlineRule(rule));
    }
    return evaluation;
}

RuleEvaluation outlineRule(const FingerprintRule& rule)
{
    RuleEvaluation evaluation{rule.name, {}, {}, true};
    evaluation.conditions.reserve(rule.conditions.size());
    for (const FingerprintCondition& condition : rule.conditions) {
        evaluation.conditions.push_back(outlineCondition(condition));
    }
    return evaluation;
}

Json toJson(const std::optional<bool>& value) { return value ? Json(*value) : Json(nullptr); }

// Marks an entry that was not finished; finished ones keep the form they always had.
void addFinished(Json& entry, bool finished)
{
    if (!finished) {
        entry["finished"] = false;
    }
}

Json toJson(const RuleEvaluation& rule);

Json toJson(const ConditionEvaluation& condition)
{
    Json arguments = Json::array();
    for (const FingerprintConditionArgument& argument : condition.arguments) {
        arguments.push_back({{"name", toStdString(argument.name)}, {"value", toStdString(argument.value)}});
    }
    Json rules = Json::array();
    for (const RuleEvaluation& rule : condition.rules) {
        rules.push_back(toJson(rule));
    }
    Json entry = {{"type", toStdString(rawValue(condition.type))},
                  {"arguments", std::move(arguments)},
                  {"inverted", condition.inverted},
                  {"own", toJson(condition.own)},
                  {"nested", toJson(condition.nested)},
                  {"value", toJson(condition.value)},
                  {"observed", toStdString(condition.observed)},
                  {"error", condition.error ? Json(toStdString(*condition.error)) : Json(nullptr)},
                  {"rules", std::move(rules)}};
    addFinished(entry, condition.finished);
    return entry;
}

Json toJson(const RuleEvaluation& rule)
{
    Json conditions = Json::array();
    for (const ConditionEvaluation& condition : rule.conditions) {
        conditions.push_back(toJson(condition));
    }
    Json entry = {
        {"name", toStdString(rule.name)}, {"value", toJson(rule.value)}, {"conditions", std::move(conditions)}};
    addFinished(entry, rule.finished);
    return entry;
}

} // namespace

RulesEngineEvaluation RulesEngineEvaluation::outline(const FingerprintFile& file)
{
    RulesEngineEvaluation evaluation;
    evaluation.fingerprints.reserve(file.fingerprints.size());
    for (const Fingerprint& fingerprint : file.fingerprints) {
        FingerprintEvaluation entry{fingerprint.fingerprintId, fingerprint.name, {}, {}, true};
        entry.rules.reserve(fingerprint.rules.size());
        for (const FingerprintRule& rule : fingerprint.rules) {
            entry.rules.push_back(outlineRule(rule));
        }
        evaluation.fingerprints.push_back(std::move(entry));
    }
    return evaluation;
}

Json RulesEngineEvaluation::toJson() const
{
    Json result = Json::array();
    for (const FingerprintEvaluation& fingerprint : fingerprints) {
        Json rules = Json::array();
        for (const RuleEvaluation& rule : fingerprint.rules) {
            rules.push_back(nerova::toJson(rule));
        }
        Json entry = {{"fingerprintId", toStdString(fingerprint.fingerprintId)},
                      {"name", toStdString(fingerprint.name)},
                      {"matched", nerova::toJson(fingerprint.matched)},
                      {"rules", std::move(rules)}};
        addFinished(entry, fingerprint.finished);
        result.push_back(std::move(entry));
    }
    return result;
}

QString truthText(const std::optional<bool>& value)
{
    if (!value) {
        return QStringLiteral("undecided");
    }
    return *value ? QStringLiteral("true") : QStringLiteral("false");
}

} // namespace nerova

#include "rules/EvaluationReport.h"

#include "common/TerminalText.h"

namespace nerova {

namespace {

void writeRule(QTextStream& out, const RuleEvaluation& rule, int depth);

void writeCondition(QTextStream& out, const ConditionEvaluation& condition, int depth)
{
    out << QString(depth * 2, u' ') << "- " << (condition.inverted ? "NOT " : "") << rawValue(condition.type);
    for (const FingerprintConditionArgument& argument : condition.arguments) {
        out << ' ' << printable(argument.name) << '=' << quoted(argument.value);
    }
    if (condition.error) {
        out << ": error " << printable(*condition.error) << '\n';
    } else if (!condition.finished) {
        out << ": " << notNeededText << '\n';
    } else {
        out << ": own " << truthText(condition.own);
        if (!condition.rules.empty()) {
            out << ", nested " << truthText(condition.nested);
        }
        if (condition.inverted) {
            out << ", inverted";
        }
        out << " -> " << truthText(condition.value);
        if (!condition.observed.isEmpty()) {
            out << " (" << printable(condition.observed) << ')';
        }
        out << '\n';
    }
    for (const RuleEvaluation& rule : condition.rules) {
        writeRule(out, rule, depth + 1);
    }
}

void writeRule(QTextStream& out, const RuleEvaluation& rule, int depth)
{
    out << QString(depth * 2, u' ') << "rule " << quoted(rule.name) << ": "
        << (rule.finished ? truthText(rule.value) : QString::fromLatin1(notNeededText));
    if (rule.conditions.empty()) {
        out << " (no conditions)";
    }
    out << '\n';
    for (const ConditionEvaluation& condition : rule.conditions) {
        writeCondition(out, condition, depth + 1);
    }
}

} // namespace

void writeEvaluationReport(QTextStream& out, const RulesEngineEvaluation& evaluation)
{
    for (const FingerprintEvaluation& fingerprint : evaluation.fingerprints) {
        out << "fingerprint " << quoted(fingerprint.name) << " (id " << quoted(fingerprint.fingerprintId) << "): "
            << (!fingerprint.finished  ? notNeededText
                : !fingerprint.matched ? "undecided"
                : *fingerprint.matched ? "matched"
                                       : "not matched");
        if (fingerprint.rules.empty()) {
            out << " (no rules)";
        }
        out << '\n';
        for (const RuleEvaluation& rule : fingerprint.rules) {
            writeRule(out, rule, 1);
        }
    }
}

Json evaluationVerdictJson(const std::optional<Fingerprint>& match, const std::optional<QString>& error,
                           const RulesEngineEvaluation* explanation)
{
    Json answer = {{"match", nullptr}, {"error", nullptr}};
    if (match) {
        answer["match"] = {{"fingerprintId", toStdString(match->fingerprintId)}, {"name", toStdString(match->name)}};
    }
    if (error) {
        answer["error"] = toStdString(*error);
    }
    if (explanation) {
        answer["explain"] = explanation->toJson();
    }
    return answer;
}

} // namespace nerova

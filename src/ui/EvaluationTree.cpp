#include "ui/EvaluationTree.h"

#include "ui/FingerprintTree.h"
#include "ui/Translations.h"

#include <QCoreApplication>

namespace nerova {

namespace {

std::vector<ItemNode> ruleNodes(const std::vector<RuleEvaluation>& rules);

ItemNode conditionNode(const ConditionEvaluation& condition)
{
    FingerprintCondition shown{condition.type, condition.arguments, {}, condition.inverted};
    QStringList how;
    if (condition.type != FingerprintConditionType::or_) {
        how << QCoreApplication::translate("EvaluationTree", "own %1").arg(truthDisplayText(condition.own));
    }
    if (condition.nested) {
        how << QCoreApplication::translate("EvaluationTree", "nested %1").arg(truthDisplayText(condition.nested));
    }
    if (condition.inverted) {
        how << QCoreApplication::translate("EvaluationTree", "inverted");
    }
    QString observed = condition.observed;
    if (condition.error) {
        observed = observed.isEmpty() ? *condition.error : observed + QStringLiteral("; ") + *condition.error;
    }
    ItemNode node;
    node.columns = QStringList{
        fingerprinttree::conditionText(shown),
        !condition.finished && !condition.error
            ? notNeededDisplayText()
            : QStringLiteral("%1 (%2)").arg(truthDisplayText(condition.value), how.join(QStringLiteral(", "))),
        condition.finished ? observed : QString()};
    node.children = ruleNodes(condition.rules);
    return node;
}

std::vector<ItemNode> ruleNodes(const std::vector<RuleEvaluation>& rules)
{
    std::vector<ItemNode> nodes;
    for (const RuleEvaluation& rule : rules) {
        ItemNode node;
        node.columns = QStringList{QCoreApplication::translate("EvaluationTree", "Rule %1").arg(rule.name),
                                   rule.finished ? truthDisplayText(rule.value) : notNeededDisplayText()};
        for (const ConditionEvaluation& condition : rule.conditions) {
            node.children.push_back(conditionNode(condition));
        }
        nodes.push_back(std::move(node));
    }
    return nodes;
}

} // namespace

std::vector<ItemNode> evaluationNodes(const RulesEngineEvaluation& evaluation)
{
    std::vector<ItemNode> nodes;
    for (const FingerprintEvaluation& fingerprint : evaluation.fingerprints) {
        ItemNode node;
        const QString verdict = !fingerprint.finished  ? notNeededDisplayText()
                                : !fingerprint.matched ? truthDisplayText(std::nullopt)
                                : *fingerprint.matched ? QCoreApplication::translate("EvaluationTree", "matched")
                                                       : QCoreApplication::translate("EvaluationTree", "not matched");
        node.columns = QStringList{fingerprint.name, verdict, fingerprint.fingerprintId};
        node.symbol = fingerprint.matched.value_or(false) ? QStringLiteral("location.fill")
                                                          : QStringLiteral("location.slash.fill");
        node.heading = true;
        node.children = ruleNodes(fingerprint.rules);
        nodes.push_back(std::move(node));
    }
    return nodes;
}

} // namespace nerova

#include "ui/EvaluationTree.h"

#include "ui/FingerprintTree.h"

namespace nerova {

namespace {

std::vector<ItemNode> ruleNodes(const std::vector<RuleEvaluation>& rules);

ItemNode conditionNode(const ConditionEvaluation& condition)
{
    FingerprintCondition shown{condition.type, condition.arguments, {}, condition.inverted};
    QStringList how;
    if (condition.type != FingerprintConditionType::or_) {
        how << QStringLiteral("own ") + truthText(condition.own);
    }
    if (condition.nested) {
        how << QStringLiteral("nested ") + truthText(condition.nested);
    }
    if (condition.inverted) {
        how << QStringLiteral("inverted");
    }
    QString observed = condition.observed;
    if (condition.error) {
        observed = observed.isEmpty() ? *condition.error : observed + QStringLiteral("; ") + *condition.error;
    }
    ItemNode node;
    node.columns =
        QStringList{fingerprinttree::conditionText(shown),
                    !condition.finished && !condition.error ? QString::fromLatin1(notNeededText)
                                                            : truthText(condition.value) + QStringLiteral(" (") +
                                                                  how.join(QStringLiteral(", ")) + QLatin1Char(')'),
                    condition.finished ? observed : QString()};
    node.children = ruleNodes(condition.rules);
    return node;
}

std::vector<ItemNode> ruleNodes(const std::vector<RuleEvaluation>& rules)
{
    std::vector<ItemNode> nodes;
    for (const RuleEvaluation& rule : rules) {
        ItemNode node;
        node.columns = QStringList{QStringLiteral("Rule ") + rule.name,
                                   rule.finished ? truthText(rule.value) : QString::fromLatin1(notNeededText)};
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
        const QString verdict = !fingerprint.finished  ? QString::fromLatin1(notNeededText)
                                : !fingerprint.matched ? QStringLiteral("undecided")
                                : *fingerprint.matched ? QStringLiteral("matched")
                                                       : QStringLiteral("not matched");
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

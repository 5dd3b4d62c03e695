#pragma once

#include "common/Json.h"
#include "rules/FingerprintFile.h"
#include "rules/RulesEngineEvaluation.h"

#include <optional>

#include <QTextStream>

namespace nerova {

// The evaluation tree as indented text: every fingerprint, rule and condition with its own
// value, nested value, inversion and final value, and what each test observed. What was cancelled
// once another fingerprint had matched reads "not needed".
void writeEvaluationReport(QTextStream& out, const RulesEngineEvaluation& evaluation);

// The verdict of one evaluation as `check --json` prints it: {"match": {"fingerprintId", "name"} or
// null, "error": null or the error's description}, plus "explain" (the tree) when `explanation` is given.
Json evaluationVerdictJson(const std::optional<Fingerprint>& match, const std::optional<QString>& error,
                           const RulesEngineEvaluation* explanation);

} // namespace nerova

#pragma once

#include "rules/RulesEngineEvaluation.h"

#include <QTextStream>

namespace nerova {

// The evaluation tree as indented text: every fingerprint, rule and condition with its own
// value, nested value, inversion and final value, and what each test observed.
void writeEvaluationReport(QTextStream& out, const RulesEngineEvaluation& evaluation);

} // namespace nerova

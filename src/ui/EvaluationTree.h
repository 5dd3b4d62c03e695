#pragma once

#include "rules/RulesEngineEvaluation.h"
#include "ui/ItemTreeModel.h"

namespace nerova {

// The explanation of one evaluation as a tree: every fingerprint, rule and condition (nested
// rules of an "or" included) with its value, how the value came about and what the test observed.
// Columns: the item, its result, what was observed.
std::vector<ItemNode> evaluationNodes(const RulesEngineEvaluation& evaluation);

} // namespace nerova

#pragma once

#include "common/Json.h"
#include "rules/FingerprintFile.h"

#include <QString>

#include <optional>
#include <vector>

namespace nerova {

struct RuleEvaluation;

// What the engine found for one condition. Values stay absent where the evaluation raised
// before deciding them. `finished` is false for what was still running when another fingerprint's
// match decided the check and was cancelled as not needed: its values stay absent (an own test
// decided without the network may remain).
struct ConditionEvaluation {
    FingerprintConditionType type;
    std::vector<FingerprintConditionArgument> arguments;
    bool inverted = false;
    std::optional<bool> own;      // the condition's own test
    std::optional<bool> nested;   // OR of the nested rules; absent when there are none
    std::optional<bool> value;    // after inversion
    QString observed;             // what the test saw: address, round-trip time, HTTP status, bytes, error
    std::optional<QString> error; // the error the own test raised
    std::vector<RuleEvaluation> rules;
    bool finished = true;
};

struct RuleEvaluation {
    QString name;
    std::optional<bool> value;
    std::vector<ConditionEvaluation> conditions;
    bool finished = true;
};

struct FingerprintEvaluation {
    QString fingerprintId;
    QString name;
    std::optional<bool> matched;
    std::vector<RuleEvaluation> rules;
    bool finished = true;
};

// The whole evaluation tree of one check, in file order, for explaining a result.
struct RulesEngineEvaluation {
    std::vector<FingerprintEvaluation> fingerprints;

    // The tree of `file` with nothing decided yet.
    static RulesEngineEvaluation outline(const FingerprintFile& file);

    // [{"fingerprintId", "name", "matched", "rules": [{"name", "value", "conditions": [{"type",
    // "arguments", "inverted", "own", "nested", "value", "observed", "error", "rules"}]}]}];
    // undecided values are null. Each fingerprint, rule and condition that was not finished also
    // carries "finished": false (finished ones leave the key out).
    Json toJson() const;
};

// A value of the evaluation as it is shown: "true", "false", or "undecided" when it was not reached.
QString truthText(const std::optional<bool>& value);
// How an entry that was not finished is shown instead of its values.
inline constexpr const char* notNeededText = "not needed";

} // namespace nerova

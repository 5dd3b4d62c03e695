#pragma once

#include "rules/CheckSnapshot.h"
#include "rules/FingerprintFile.h"
#include "rules/RulesEngineEvaluation.h"
#include "rules/RulesEngineProbes.h"

#include <QCoro/QCoroTask>

namespace nerova {

// The own tests of the condition types, without inversion and nested rules. Each logs its lines,
// records what it saw in `evaluation.observed`, and is false when an argument is missing or
// malformed or its probe fails. Malformed CIDR or address text and an invalid TCP pattern raise.
bool checkInternalIP(const FingerprintCondition& condition, CheckSnapshot& snapshot, ConditionEvaluation& evaluation);
bool checkExternalIP(const FingerprintCondition& condition, CheckSnapshot& snapshot, ConditionEvaluation& evaluation);
bool checkGateway(const FingerprintCondition& condition, const CheckSnapshot& snapshot,
                  ConditionEvaluation& evaluation);
bool checkWireless(const FingerprintCondition& condition, const CheckSnapshot& snapshot,
                   ConditionEvaluation& evaluation);
bool checkDnsDomain(const FingerprintCondition& condition, const CheckSnapshot& snapshot,
                    ConditionEvaluation& evaluation);
bool checkTunnel(const CheckSnapshot& snapshot, ConditionEvaluation& evaluation);
bool checkPeripheral(const FingerprintCondition& condition, const CheckSnapshot& snapshot,
                     ConditionEvaluation& evaluation);
QCoro::Task<bool> checkPing(const FingerprintCondition& condition, RulesEngineProbes& probes,
                            ConditionEvaluation& evaluation);
QCoro::Task<bool> checkWebContent(const FingerprintCondition& condition, RulesEngineProbes& probes,
                                  CheckSnapshot& snapshot, ConditionEvaluation& evaluation);
QCoro::Task<bool> checkConnection(const FingerprintCondition& condition, RulesEngineProbes& probes,
                                  CheckSnapshot& snapshot, ConditionEvaluation& evaluation);

} // namespace nerova

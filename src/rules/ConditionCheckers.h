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
// Probes watch the snapshot's cancellation; a cancelled probe's OperationCancelled passes through.
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
// Raises what checkConnection raises before it connects (an invalid pattern), without connecting.
void checkConnectionPattern(const FingerprintCondition& condition);
QCoro::Task<bool> checkPing(const FingerprintCondition& condition, RulesEngineProbes& probes, CheckSnapshot& snapshot,
                            ConditionEvaluation& evaluation);
QCoro::Task<bool> checkWebContent(const FingerprintCondition& condition, RulesEngineProbes& probes,
                                  CheckSnapshot& snapshot, ConditionEvaluation& evaluation);
QCoro::Task<bool> checkConnection(const FingerprintCondition& condition, RulesEngineProbes& probes,
                                  CheckSnapshot& snapshot, ConditionEvaluation& evaluation);

} // namespace nerova

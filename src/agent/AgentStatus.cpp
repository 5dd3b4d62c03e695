#include "agent/AgentStatus.h"

#include "agent/Agent.h"
#include "agent/ReportingPolicy.h"
#include "network/NetworkContextJson.h"
#include "rules/EvaluationReport.h"
#include "rules/FingerprintFileJson.h"

namespace nerova {

namespace {

Json dateJson(const QDateTime& date)
{
    return date.isValid() ? Json(toStdString(date.toUTC().toString(Qt::ISODate))) : Json(nullptr);
}

Json fingerprintJson(const Fingerprint& fingerprint)
{
    return {{"fingerprintId", toStdString(fingerprint.fingerprintId)},
            {"name", toStdString(fingerprint.name)},
            {"locationPoint", encodeLocationPoint(fingerprint.locationPoint)}};
}

Json evaluationJson(const AgentEvaluation& evaluation)
{
    Json answer = evaluationVerdictJson(evaluation.match, evaluation.error, &evaluation.explanation);
    QString text;
    QTextStream stream(&text);
    writeEvaluationReport(stream, evaluation.explanation);
    stream.flush();
    answer["explanation"] = toStdString(text);
    return answer;
}

} // namespace

Json agentStatus(const Agent& agent)
{
    Json status = Json::object();
    status["registered"] = agent.isRegistered();
    status["message"] = toStdString(agent.message());
    status["lastCheckin"] = dateJson(agent.lastCheckin());
    status["lastPresenceCheck"] = dateJson(agent.lastPresenceCheck());
    status["lastPresenceSend"] = dateJson(agent.lastPresenceSend());
    status["unsentPresence"] = agent.hasUnsentPresence();
    status["fingerprint"] = agent.fingerprint() ? fingerprintJson(*agent.fingerprint()) : Json(nullptr);
    const ReportingPolicy& policy = agent.reportingPolicy();
    const char* states[] = {"reporting", "outside hours", "paused"};
    status["reporting"] = {{"state", states[int(policy.state())]},
                           {"notice", toStdString(policy.notice())},
                           {"pausedUntil", dateJson(policy.pausedUntil())}};
    if (const std::optional<FingerprintFile>& file = agent.fingerprintFile()) {
        status["fingerprintFile"] = {{"fingerprintVersion", file->fingerprintVersion},
                                     {"createdAt", toStdString(formatStoredTimestamp(file->createdAt))},
                                     {"fingerprints", file->fingerprints.size()}};
    } else {
        status["fingerprintFile"] = nullptr;
    }
    status["context"] = agent.context() ? encodeNetworkContext(*agent.context()) : Json(nullptr);
    status["evaluation"] = agent.lastEvaluation() ? evaluationJson(*agent.lastEvaluation()) : Json(nullptr);
    return status;
}

} // namespace nerova

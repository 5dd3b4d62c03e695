#pragma once

#include "common/Clock.h"
#include "common/Json.h"
#include "tools/presence-service/ConnectionGuard.h"

#include <QAbstractHttpServer>
#include <QHash>
#include <QList>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

typedef struct evp_pkey_st EVP_PKEY;

namespace nerova::presence {

struct PresenceServiceConfig {
    QString registrationKey;     // what agents must present to enrol
    QString fingerprintFilePath; // served at /fingerprint-file, read afresh for every download
    QString projectId = QStringLiteral("project-demo");
    std::chrono::seconds urlLifetime{3600}; // validity of the fingerprint-file address handed out
    std::chrono::seconds allowedSkew{300};  // accepted distance of a request's timestamp from now
    bool enableDebug = false;               // the check-in answer's switch
    QString presenceLogPath;                // presence reports appended as JSON lines, when set
    bool echoPresence = false;              // presence reports also written to standard output
    bool logRequests = false;               // one line per request on standard error
    ConnectionLimits limits;                // bodies, request heads and idle connections
    qsizetype keptRecords = 1000;           // newest refusals, check-ins and presence reports kept
};

// What the service knows about one enrolled (or enrolling) agent.
struct AgentRecord {
    std::shared_ptr<EVP_PKEY> publicKey;
    QString secret;
    QString projectId;
    QString instanceId;
    QString nonce;          // until the completion call consumed it
    bool completed = false; // the completion call succeeded
};

// A strict, in-memory presence service for development, the demo and the tests. It speaks the
// service side of the agent's protocol, verifies every signature against the raw body it
// received, and answers every refusal with a ServerError body.
class PresenceService : public QAbstractHttpServer {
    Q_OBJECT

public:
    static constexpr qsizetype maxRefusalChars = 512;

    PresenceService(PresenceServiceConfig config, const Clock& clock, QObject* parent = nullptr);
    ~PresenceService() override;

    // Listens with every connection watched by a ConnectionGuard (these hide the base class's
    // versions, which would not guard connections). Returns the port, 0 on failure.
    quint16 listen(const QHostAddress& address = QHostAddress::Any, quint16 port = 0);
    void sslSetup(const QSslCertificate& certificate, const QSslKey& privateKey,
                  QSsl::SslProtocol protocol = QSsl::SecureProtocols);

    // http://<host>:<port> of the first listening socket (after listen()).
    QUrl baseUrl() const;

    const QHash<QString, AgentRecord>& agents() const { return agents_; }
    const QList<Json>& checkins() const { return checkins_; }
    const QList<Json>& presenceReports() const { return presenceReports_; }
    // The newest refusals as "<path>: <status> <message>" (each at most maxRefusalChars), in order;
    // empty while the agent behaves.
    const QStringList& refusals() const { return refusals_; }

    // Fault injection for tests.
    void failNextCheckin(int statusCode = 412) { nextCheckinFailure_ = statusCode; }
    // Every request for `path` is answered with `status` (and a ServerError body where a body is allowed).
    void setStatus(const QString& path, int status) { statuses_.insert(path, status); }
    // Every answer for `path` is held back for `delay`.
    void setDelay(const QString& path, std::chrono::milliseconds delay) { delays_.insert(path, delay); }
    // Every answer for `path` trickles: its head at once, then its body two bytes every `pace`.
    void setTrickle(const QString& path, std::chrono::milliseconds pace) { trickles_.insert(path, pace); }
    // An answer given as it stands in place of the service's own: for error pages of proxies,
    // broken bodies and redirects.
    struct RawAnswer {
        int status = 200;
        QByteArray contentType;
        QByteArray body;
        QList<std::pair<QByteArray, QByteArray>> headers;
    };
    // Every request for `path` is answered with `answer`.
    void setRawAnswer(const QString& path, RawAnswer answer) { rawAnswers_.insert(path, std::move(answer)); }
    void clearFaults();
    // The signature header of every signed request received, in order.
    const QList<QByteArray>& signatures() const { return signatures_; }
    // The requests received for `path` (e.g. "/fingerprint-file"), however they were answered.
    int requestCount(const QString& path) const { return requestCounts_.value(path); }
    void forgetAgent(const QString& agentId) { agents_.remove(agentId); }

signals:
    void presenceReported(const nerova::Json& report);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Reply;

    Reply route(const QHttpServerRequest& request);
    Reply registration(const QHttpServerRequest& request);
    Reply completeRegistration(const QHttpServerRequest& request, const QString& agentId);
    Reply checkin(const QHttpServerRequest& request, const QString& agentId);
    Reply presence(const QHttpServerRequest& request, const QString& agentId);
    Reply fingerprintFile(const QHttpServerRequest& request);
    Reply publicAddress(const QHttpServerRequest& request) const;
    AgentRecord& verifySigned(const QHttpServerRequest& request, const QString& agentId, bool completed);
    void recordPresence(const Json& report);
    void recordRefusal(const QString& path, int status, const QString& message);
    void guard(QTcpSocket* socket);
    void trickle(QTcpSocket* socket, const RawAnswer& answer, std::chrono::milliseconds pace);

    PresenceServiceConfig config_;
    const Clock& clock_;
    QHash<QString, AgentRecord> agents_;
    QList<Json> checkins_;
    QList<Json> presenceReports_;
    QStringList refusals_;
    QByteArray servedTag_;
    std::optional<QSslConfiguration> tls_;
    int maxConnections_ = 1;
    int connections_ = 0; // guarded connections alive
    std::optional<int> nextCheckinFailure_;
    QHash<QString, int> statuses_;
    QHash<QString, std::chrono::milliseconds> delays_;
    QHash<QString, std::chrono::milliseconds> trickles_;
    QHash<QString, RawAnswer> rawAnswers_;
    QList<QByteArray> signatures_;
    QHash<QString, int> requestCounts_;
};

} // namespace nerova::presence

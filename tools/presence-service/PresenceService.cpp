#include "tools/presence-service/PresenceService.h"
#include "tools/presence-service/PresenceCrypto.h"
#include "tools/presence-service/Refusal.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QMetaEnum>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace nerova::presence {

namespace {

constexpr const char* fingerprintPath = "/fingerprint-file";
constexpr qsizetype maxPayloadBytes = 245; // one PKCS#1 v1.5 block of a 2048-bit key

QByteArray toBytes(const Json& json)
{
    const std::string text = json.dump();
    return QByteArray(text.data(), qsizetype(text.size()));
}

QString randomToken(int bytes)
{
    QByteArray data(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(data.data()), bytes / 4);
    return QString::fromLatin1(data.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

// The request body as a JSON object, or a refusal that names the problem.
Json jsonBody(const QHttpServerRequest& request)
{
    const QByteArray contentType = request.value("content-type");
    if (contentType != "application/json") {
        refuse(
            415,
            QStringLiteral("Content-Type must be application/json, not \"%1\"").arg(QString::fromLatin1(contentType)));
    }
    Json json;
    try {
        json = parseJson(request.body());
    } catch (const JsonDecodeError& error) {
        refuse(400, QStringLiteral("body is not JSON: ") + error.description());
    }
    if (!json.is_object()) {
        refuse(400, QStringLiteral("body is not a JSON object"));
    }
    return json;
}

// Runs a strict decode; its JsonDecodeError becomes a 400 refusal.
template <typename Decode>
auto decodeOrRefuse(Decode decode)
{
    try {
        return decode();
    } catch (const JsonDecodeError& error) {
        refuse(400, QStringLiteral("malformed request: ") + error.description());
    }
}

qint64 referenceSeconds(const QDateTime& time)
{
    static const QDateTime reference(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return reference.secsTo(time);
}

// Keeps the newest `cap` entries.
template <typename T>
void appendBounded(QList<T>& list, T entry, qsizetype cap)
{
    list.append(std::move(entry));
    if (list.size() > cap) {
        list.remove(0, list.size() - cap);
    }
}

// A listening socket whose connections are handed to the HTTP server with a guard in front; the
// guard connects to readyRead before the HTTP server does, so it sees every chunk first. A
// connection that `admit` turns down is closed at once.
template <typename Server>
class GuardedServer : public Server {
public:
    GuardedServer(std::function<bool()> admit, std::function<void(QTcpSocket*)> guard, QObject* parent)
        : Server(parent), admit_(std::move(admit)), guard_(std::move(guard))
    {}

    QTcpSocket* nextPendingConnection() override
    {
        QTcpSocket* socket = Server::nextPendingConnection();
        if (socket) {
            guard_(socket);
        }
        return socket;
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (admit_()) {
            Server::incomingConnection(descriptor);
        } else {
            ::close(int(descriptor));
        }
    }

private:
    std::function<bool()> admit_;
    std::function<void(QTcpSocket*)> guard_;
};

QString requireString(const JsonObjectReader& reader, const char* key)
{
    return decodeOrRefuse([&] { return reader.string(key); });
}

} // namespace

struct PresenceService::Reply {
    int status = 200;
    QByteArray body;
    QList<std::pair<QByteArray, QByteArray>> headers;

    static Reply json(const Json& document, int status = 200) { return {status, toBytes(document), {}}; }
    static Reply error(int status, const QString& message)
    {
        Json body = Json::object();
        body["statusCode"] = status;
        body["message"] = toStdString(message);
        return json(body, status);
    }
};

PresenceService::PresenceService(PresenceServiceConfig config, const Clock& clock, QObject* parent)
    : QAbstractHttpServer(parent), config_(std::move(config)), clock_(clock)
{}

PresenceService::~PresenceService() = default;

quint16 PresenceService::listen(const QHostAddress& address, quint16 port)
{
    maxConnections_ = config_.limits.maxConnections;
    if (maxConnections_ <= 0) {
        // Out of descriptors, accept() fails at once and the listening socket stays readable, so
        // the event loop would spin; connections past this cap are closed as soon as accepted.
        constexpr rlim_t reserve = 64; // files, listening sockets, the system's own
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        maxConnections_ = int(std::clamp<rlim_t>(limit.rlim_cur > reserve ? limit.rlim_cur - reserve : 1, 1, 1 << 20));
    }
    const auto admit = [this] { return connections_ < maxConnections_; };
    const auto guard = [this](QTcpSocket* socket) { this->guard(socket); };
    QTcpServer* server = nullptr;
    if (tls_) {
        auto* tlsServer = new GuardedServer<QSslServer>(admit, guard, this);
        tlsServer->setSslConfiguration(*tls_);
        server = tlsServer;
    } else {
        server = new GuardedServer<QTcpServer>(admit, guard, this);
    }
    if (!server->listen(address, port)) {
        delete server;
        return 0;
    }
    bind(server);
    return server->serverPort();
}

void PresenceService::guard(QTcpSocket* socket)
{
    auto* watcher = new ConnectionGuard(socket, config_.limits);
    connect(watcher, &ConnectionGuard::refused, this, &PresenceService::recordRefusal);
    connect(watcher, &QObject::destroyed, this, [this] { --connections_; });
    ++connections_;
}

void PresenceService::sslSetup(const QSslCertificate& certificate, const QSslKey& privateKey,
                               QSsl::SslProtocol protocol)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(certificate);
    configuration.setPrivateKey(privateKey);
    configuration.setProtocol(protocol);
    tls_ = configuration;
}

QUrl PresenceService::baseUrl() const
{
    const QList<QTcpServer*> listening = servers();
    if (listening.isEmpty()) {
        return {};
    }
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(listening.first()->serverAddress().toString());
    url.setPort(listening.first()->serverPort());
    return url;
}

void PresenceService::clearFaults()
{
    nextCheckinFailure_.reset();
    statuses_.clear();
    delays_.clear();
    trickles_.clear();
    rawAnswers_.clear();
}

void PresenceService::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    // Not reached: handleRequest answers every request.
    QHttpServerResponse(QHttpServerResponder::StatusCode::NotFound).write(makeResponder(request, socket));
}

bool PresenceService::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const QString path = request.url().path();
    ++requestCounts_[path];
    if (const QByteArray signature = request.value("x-nerova-agent-hash"); !signature.isEmpty()) {
        signatures_.append(signature);
    }
    RawAnswer answer;
    if (const auto raw = rawAnswers_.constFind(path); raw != rawAnswers_.cend()) {
        answer = *raw;
    } else {
        Reply reply;
        if (const auto fault = statuses_.constFind(path); fault != statuses_.cend()) {
            reply = *fault == 204 || *fault == 304
                        ? Reply{*fault, {}, {}}
                        : Reply::error(*fault, QStringLiteral("fault injected for %1").arg(path));
        } else {
            try {
                reply = route(request);
            } catch (const Refusal& refusal) {
                reply = Reply::error(refusal.status, refusal.message);
                recordRefusal(path, refusal.status, refusal.message);
            } catch (const std::exception& error) {
                reply = Reply::error(500, QStringLiteral("internal error: ") + QString::fromUtf8(error.what()));
                recordRefusal(path, 500, QString::fromUtf8(error.what()));
            }
        }
        if (config_.logRequests) {
            std::fprintf(stderr, "%s %s -> %d\n",
                         QByteArray(QMetaEnum::fromType<QHttpServerRequest::Method>().valueToKey(int(request.method())))
                             .toUpper()
                             .constData(),
                         qPrintable(request.url().toString(QUrl::RemoveScheme | QUrl::RemoveAuthority)), reply.status);
        }
        answer = RawAnswer{reply.status, reply.body.isEmpty() ? QByteArray() : QByteArrayLiteral("application/json"),
                           std::move(reply.body), std::move(reply.headers)};
    }
    if (const auto pace = trickles_.constFind(path); pace != trickles_.cend()) {
        trickle(socket, answer, *pace);
        return true;
    }

    QHttpServerResponse response =
        answer.contentType.isEmpty()
            ? QHttpServerResponse(QHttpServerResponder::StatusCode(answer.status))
            : QHttpServerResponse(answer.contentType, answer.body, QHttpServerResponder::StatusCode(answer.status));
    for (const auto& [name, value] : answer.headers) {
        response.setHeader(name, value);
    }
    const std::chrono::milliseconds delay = delays_.value(path, std::chrono::milliseconds(0));
    if (delay.count() == 0) {
        response.write(makeResponder(request, socket));
        return true;
    }
    auto responder = std::make_shared<QHttpServerResponder>(makeResponder(request, socket));
    auto held = std::make_shared<QHttpServerResponse>(std::move(response));
    QPointer<ConnectionGuard> guard = socket->findChild<ConnectionGuard*>(QString(), Qt::FindDirectChildrenOnly);
    if (guard) {
        guard->hold();
    }
    QTimer::singleShot(delay, this, [responder, held, target = QPointer<QTcpSocket>(socket), guard] {
        if (target) { // the client may have given up meanwhile
            held->write(std::move(*responder));
        }
        if (guard) {
            guard->release();
        }
    });
    return true;
}

void PresenceService::trickle(QTcpSocket* socket, const RawAnswer& answer, std::chrono::milliseconds pace)
{
    const char* phrase = QMetaEnum::fromType<QHttpServerResponder::StatusCode>().valueToKey(answer.status);
    QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' + (phrase ? phrase : "Status") + "\r\n";
    QList<std::pair<QByteArray, QByteArray>> headers = answer.headers;
    if (!answer.contentType.isEmpty()) {
        headers.append({"Content-Type", answer.contentType});
    }
    headers.append({"Content-Length", QByteArray::number(answer.body.size())});
    for (const auto& [name, value] : headers) {
        head += name + ": " + value + "\r\n";
    }
    socket->write(head + "\r\n");
    // The connection does not count as idle while its answer trickles; the timer ends with the socket.
    QPointer<ConnectionGuard> guard = socket->findChild<ConnectionGuard*>(QString(), Qt::FindDirectChildrenOnly);
    if (guard) {
        guard->hold();
    }
    auto* timer = new QTimer(socket);
    connect(timer, &QTimer::timeout, socket, [socket, timer, guard, body = answer.body, sent = qsizetype(0)]() mutable {
        socket->write(body.mid(sent, 2));
        sent += 2;
        if (sent >= body.size()) {
            timer->deleteLater();
            if (guard) {
                guard->release();
            }
        }
    });
    timer->start(pace);
}

PresenceService::Reply PresenceService::route(const QHttpServerRequest& request)
{
    const QString path = request.url().path();
    const bool post = request.method() == QHttpServerRequest::Method::Post;
    const bool get = request.method() == QHttpServerRequest::Method::Get;
    if (path == u"/registration" && post) {
        return registration(request);
    }
    if (path == QLatin1String(fingerprintPath) && get) {
        return fingerprintFile(request);
    }
    if (path == u"/" && get) {
        return publicAddress(request);
    }
    static const QRegularExpression agentPath(QStringLiteral("^/([^/]+)/(complete-registration|check-in|presence)$"));
    if (const QRegularExpressionMatch match = agentPath.match(path); match.hasMatch() && post) {
        const QString agentId = match.captured(1);
        const QString action = match.captured(2);
        if (action == u"complete-registration") {
            return completeRegistration(request, agentId);
        }
        return action == u"check-in" ? checkin(request, agentId) : presence(request, agentId);
    }
    const bool known = path == u"/registration" || path == QLatin1String(fingerprintPath) || path == u"/" ||
                       agentPath.match(path).hasMatch();
    refuse(known ? 405 : 404, known ? QStringLiteral("method not allowed") : QStringLiteral("no such resource"));
}

PresenceService::Reply PresenceService::registration(const QHttpServerRequest& request)
{
    const QByteArray presented = request.value("x-nerova-agent-registrationkey");
    if (presented.isEmpty() || !equalInConstantTime(presented, config_.registrationKey.toUtf8())) {
        refuse(401, QStringLiteral("registration key refused"));
    }
    if (!request.query().isEmpty()) {
        refuse(400, QStringLiteral("registration takes no query"));
    }
    const Json body = jsonBody(request);
    const JsonObjectReader reader(body, {});
    static const QRegularExpression uuid(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    const QString agentId = requireString(reader, "agentId");
    if (!uuid.match(agentId).hasMatch()) {
        refuse(400, QStringLiteral("agentId: a lower-case UUID is required"));
    }
    if (requireString(reader, "registrationKey").toUtf8() != presented) {
        refuse(400, QStringLiteral("registrationKey: differs from the x-nerova-agent-registrationkey header"));
    }
    std::shared_ptr<EVP_PKEY> key = parsePublicKey(requireString(reader, "publicKey"));
    decodeOrRefuse([&] {
        const JsonObjectReader device(reader.required("deviceInformation"), QStringLiteral("deviceInformation"));
        for (const char* field : {"localUsername", "serialNumber", "name"}) {
            device.string(field);
        }
        const QString type = device.string("deviceType");
        if (type != u"mac" && type != u"windows") {
            throw JsonDecodeError(JsonDecodeError::Case::dataCorrupted, device.pathOf("deviceType"),
                                  QStringLiteral("\"%1\" is not a device type").arg(type));
        }
        const JsonObjectReader agent(reader.required("agentInformation"), QStringLiteral("agentInformation"));
        agent.int64("fingerprintVersion");
        agent.string("agentVersion");
        agent.optionalString("lastCheckin");
        return 0;
    });

    AgentRecord record{std::move(key),    randomToken(32),
                       config_.projectId, QStringLiteral("instance-") + randomToken(8),
                       randomToken(16),   false};
    Json payload = Json::object();
    payload["secret"] = toStdString(record.secret);
    payload["projectId"] = toStdString(record.projectId);
    payload["instanceId"] = toStdString(record.instanceId);
    payload["nonce"] = toStdString(record.nonce);
    const QByteArray plaintext = toBytes(payload);
    if (plaintext.size() > maxPayloadBytes) {
        refuse(500, QStringLiteral("payload of %1 bytes does not fit one RSA block (245 bytes): shorten the project id")
                        .arg(plaintext.size()));
    }
    const QByteArray ciphertext = encryptPKCS1(record.publicKey.get(), plaintext);
    agents_.insert(agentId, std::move(record)); // a new registration replaces the old one
    return Reply::json(Json{{"payload", ciphertext.toBase64().toStdString()}});
}

AgentRecord& PresenceService::verifySigned(const QHttpServerRequest& request, const QString& agentId, bool completed)
{
    const auto found = agents_.find(agentId);
    if (found == agents_.end() || (completed && !found->completed)) {
        refuse(412, QStringLiteral("unknown agent %1").arg(agentId));
    }
    AgentRecord& agent = *found;
    const QList<std::pair<QString, QString>> query = request.query().queryItems(QUrl::FullyDecoded);
    const QList<std::pair<QString, QString>> expected{{QStringLiteral("projectId"), agent.projectId},
                                                      {QStringLiteral("instanceId"), agent.instanceId}};
    if (query != expected) {
        refuse(403, QStringLiteral("query must be projectId and instanceId of this agent, in that order"));
    }
    const QByteArray timestamp = request.value("x-nerova-agent-timestamp");
    static const QRegularExpression digits(QStringLiteral("^[1-9][0-9]{0,18}$"));
    if (!digits.match(QString::fromLatin1(timestamp)).hasMatch()) {
        refuse(401, QStringLiteral("x-nerova-agent-timestamp: whole seconds since 1970 are required"));
    }
    const qint64 skew = std::abs(clock_.now().toSecsSinceEpoch() - timestamp.toLongLong());
    if (skew > config_.allowedSkew.count()) {
        refuse(401, QStringLiteral("x-nerova-agent-timestamp: %1 seconds away from the service's clock").arg(skew));
    }
    if (!signatureMatches(request.body(), timestamp, agent.secret, request.value("x-nerova-agent-hash"))) {
        refuse(401, QStringLiteral("x-nerova-agent-hash: signature mismatch"));
    }
    return agent;
}

PresenceService::Reply PresenceService::completeRegistration(const QHttpServerRequest& request, const QString& agentId)
{
    AgentRecord& agent = verifySigned(request, agentId, false);
    const Json body = jsonBody(request);
    const QString nonce = requireString(JsonObjectReader(body, {}), "nonce");
    if (agent.nonce.isEmpty() || !equalInConstantTime(nonce.toUtf8(), agent.nonce.toUtf8())) {
        refuse(401, QStringLiteral("nonce: does not match the registration"));
    }
    agent.nonce.clear();
    agent.completed = true;
    return Reply::json(Json::object());
}

PresenceService::Reply PresenceService::checkin(const QHttpServerRequest& request, const QString& agentId)
{
    if (const std::optional<int> failure = std::exchange(nextCheckinFailure_, std::nullopt)) {
        return Reply::error(*failure, QStringLiteral("unknown agent %1").arg(agentId));
    }
    verifySigned(request, agentId, true);
    const Json body = jsonBody(request);
    const bool requestNewUrl = decodeOrRefuse([&] {
        const JsonObjectReader reader(body, {});
        reader.int64("fingerprintVersion");
        reader.string("agentVersion");
        return reader.boolean("requestNewUrl");
    });
    Json record = body;
    record["agentId"] = toStdString(agentId);
    appendBounded(checkins_, record, config_.keptRecords);

    Json answer = Json::object();
    if (requestNewUrl) {
        QUrl fileUrl = request.url();
        fileUrl.setPath(QLatin1String(fingerprintPath));
        fileUrl.setQuery(QString());
        answer["fingerprintFileUrl"] = toStdString(fileUrl.toString());
        answer["urlExpiresAt"] = referenceSeconds(clock_.now().addSecs(config_.urlLifetime.count()));
    }
    answer["enableDebug"] = config_.enableDebug;
    return Reply::json(answer);
}

PresenceService::Reply PresenceService::presence(const QHttpServerRequest& request, const QString& agentId)
{
    const AgentRecord& agent = verifySigned(request, agentId, true);
    const Json body = jsonBody(request);
    decodeOrRefuse([&] {
        const JsonObjectReader reader(body, {});
        static const QRegularExpression wholeSeconds(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$)"));
        const QString timestamp = reader.string("timestamp");
        if (!wholeSeconds.match(timestamp).hasMatch() || !QDateTime::fromString(timestamp, Qt::ISODate).isValid()) {
            throw JsonDecodeError(JsonDecodeError::Case::dataCorrupted, QStringLiteral("timestamp"),
                                  QStringLiteral("\"%1\" is not a UTC date-time in whole seconds").arg(timestamp));
        }
        reader.string("fingerprintId");
        reader.int64("fingerprintVersion");
        const JsonObjectReader point(reader.required("locationPoint"), QStringLiteral("locationPoint"));
        point.string("locationId");
        for (const char* part : {"levelId", "zoneId", "placeId"}) {
            point.optionalString(part);
        }
        return 0;
    });
    Json report = Json::object();
    report["receivedAt"] = toStdString(clock_.now().toUTC().toString(Qt::ISODate));
    report["agentId"] = toStdString(agentId);
    report["projectId"] = toStdString(agent.projectId);
    report["instanceId"] = toStdString(agent.instanceId);
    for (const char* key : {"timestamp", "fingerprintId", "fingerprintVersion", "locationPoint"}) {
        report[key] = body.at(key);
    }
    recordPresence(report);
    return Reply{204, {}, {}};
}

void PresenceService::recordPresence(const Json& report)
{
    appendBounded(presenceReports_, report, config_.keptRecords);
    const QByteArray line = toBytes(report) + '\n';
    if (config_.echoPresence) {
        std::fwrite(line.constData(), 1, std::size_t(line.size()), stdout);
        std::fflush(stdout);
    }
    if (!config_.presenceLogPath.isEmpty()) {
        QFile log(config_.presenceLogPath);
        if (!log.open(QIODevice::WriteOnly | QIODevice::Append) || log.write(line) != line.size()) {
            std::fprintf(stderr, "nerova-presence-service: cannot append to %s: %s\n",
                         qPrintable(config_.presenceLogPath), qPrintable(log.errorString()));
        }
    }
    emit presenceReported(report);
}

void PresenceService::recordRefusal(const QString& path, int status, const QString& message)
{
    QString text = QStringLiteral("%1: %2 %3").arg(path).arg(status).arg(message);
    if (text.size() > maxRefusalChars) {
        text.truncate(maxRefusalChars - 1);
        text.append(u'\u2026');
    }
    appendBounded(refusals_, std::move(text), config_.keptRecords);
}

PresenceService::Reply PresenceService::fingerprintFile(const QHttpServerRequest& request)
{
    QFile file(config_.fingerprintFilePath);
    if (!file.open(QIODevice::ReadOnly)) {
        refuse(503, QStringLiteral("fingerprint file unavailable: ") + file.errorString());
    }
    const QByteArray contents = file.readAll();
    const QByteArray tag = '"' + QCryptographicHash::hash(contents, QCryptographicHash::Sha256).toHex().left(32) + '"';
    if (tag != servedTag_) {
        if (!servedTag_.isEmpty() && config_.logRequests) {
            std::fprintf(stderr, "fingerprint file changed, now serving %s\n", tag.constData());
        }
        servedTag_ = tag;
    }
    for (QByteArray candidate : request.value("if-none-match").split(',')) {
        candidate = candidate.trimmed();
        if (candidate.startsWith("W/")) {
            candidate = candidate.mid(2);
        }
        if (candidate == tag || candidate == "*") {
            return Reply{304, {}, {{"ETag", tag}}};
        }
    }
    return Reply{200, contents, {{"ETag", tag}, {"Cache-Control", "no-cache"}}};
}

PresenceService::Reply PresenceService::publicAddress(const QHttpServerRequest& request) const
{
    QHostAddress caller = request.remoteAddress();
    bool isIPv4 = false;
    const quint32 v4 = caller.toIPv4Address(&isIPv4);
    if (isIPv4) {
        caller = QHostAddress(v4);
    }
    if (request.query().queryItemValue(QStringLiteral("format")) != u"json") {
        return Reply{200, caller.toString().toLatin1(), {{"Content-Type", "text/plain"}}};
    }
    return Reply::json(Json{{"ip", toStdString(caller.toString())}});
}

} // namespace nerova::presence

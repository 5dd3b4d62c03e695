#include "tools/presence-service/ConnectionGuard.h"

#include "common/Json.h"

#include <QRegularExpression>
#include <QTcpSocket>

#include <algorithm>
#include <optional>

namespace nerova::presence {

namespace {

const char* reasonPhrase(int status)
{
    switch (status) {
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    default: return "Bad Request";
    }
}

// Token characters of a method or header name.
bool isToken(const QByteArray& text)
{
    static const QByteArray extra("!#$%&'*+-.^_`|~");
    return !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || extra.contains(c);
    });
}

bool hasControlCharacters(const QByteArray& text, bool allowTab)
{
    return std::any_of(text.cbegin(), text.cend(), [allowTab](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && !(allowTab && byte == '\t')) || byte == 0x7f;
    });
}

} // namespace

ConnectionGuard::ConnectionGuard(QTcpSocket* socket, const ConnectionLimits& limits)
    : QObject(socket), socket_(socket), limits_(limits)
{
    idleTimer_.setSingleShot(true);
    idleTimer_.setInterval(limits_.idleTimeout);
    connect(&idleTimer_, &QTimer::timeout, this, &ConnectionGuard::idle);
    connect(socket_, &QTcpSocket::readyRead, this, &ConnectionGuard::inspect);
    connect(socket_, &QTcpSocket::bytesWritten, &idleTimer_, qOverload<>(&QTimer::start));
    idleTimer_.start();
}

void ConnectionGuard::hold() { ++held_; }

void ConnectionGuard::release()
{
    --held_;
    idleTimer_.start();
}

void ConnectionGuard::idle()
{
    if (held_ > 0) {
        idleTimer_.start();
        return;
    }
    // The HTTP server drops its signal connections from a request it cannot parse, so it would
    // never delete this socket itself.
    socket_->abort();
    socket_->deleteLater();
}

void ConnectionGuard::inspect()
{
    if (closing_) {
        return;
    }
    idleTimer_.start();
    const QByteArray chunk = socket_->peek(socket_->bytesAvailable());
    qsizetype at = 0;
    while (at < chunk.size() && !closing_) {
        if (bodyLeft_ > 0) {
            const qint64 taken = std::min<qint64>(bodyLeft_, chunk.size() - at);
            bodyLeft_ -= taken;
            at += qsizetype(taken);
            continue;
        }
        if (head_.isEmpty() && (chunk[at] == '\r' || chunk[at] == '\n')) {
            ++at; // empty lines before a request line are tolerated
            continue;
        }
        const qsizetype searchFrom = std::max<qsizetype>(0, head_.size() - 3);
        const qsizetype wanted = std::min(chunk.size() - at, maxHeadBytes + 1 - head_.size());
        head_.append(chunk.constData() + at, wanted);
        const qsizetype end = head_.indexOf("\r\n\r\n", searchFrom);
        if (end < 0) {
            at += wanted;
            if (head_.size() > maxHeadBytes) {
                refuse(431, QStringLiteral("request head over %1 bytes").arg(maxHeadBytes));
            }
            continue;
        }
        at += wanted - (head_.size() - end - 4);
        head_.truncate(end + 2); // every line ends with CR LF
        inspectHead();
        head_.clear();
    }
}

// Checks one request head and sets the length of the body that follows it.
void ConnectionGuard::inspectHead()
{
    path_.clear();
    QList<QByteArray> lines = head_.split('\n');
    lines.removeLast();
    static const QRegularExpression requestLine(QStringLiteral("^(\\S+) ([\\x21-\\x7e]+) HTTP/1\\.[01]\\r$"));
    const QRegularExpressionMatch request = requestLine.match(QString::fromLatin1(lines.first()));
    if (!request.hasMatch() || !isToken(request.captured(1).toLatin1())) {
        refuse(400, QStringLiteral("malformed request line"));
        return;
    }
    path_ = request.captured(2).section(u'?', 0, 0);
    std::optional<QByteArray> contentLength;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (!line.endsWith('\r') || colon <= 0 || !isToken(line.left(colon)) ||
            hasControlCharacters(line.chopped(1), true)) {
            refuse(400, QStringLiteral("malformed header line %1").arg(i));
            return;
        }
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "upgrade") {
            refuse(400, QStringLiteral("protocol upgrades are not supported"));
            return;
        }
        if (name == "transfer-encoding") {
            refuse(411, QStringLiteral("a body needs a Content-Length"));
            return;
        }
        if (name == "content-length") {
            if (value.isEmpty() ||
                !std::all_of(value.cbegin(), value.cend(), [](char c) { return c >= '0' && c <= '9'; }) ||
                (contentLength && *contentLength != value)) {
                refuse(400, QStringLiteral("malformed Content-Length"));
                return;
            }
            contentLength = value;
        }
    }
    const qint64 cap = path_ == u"/registration" ? limits_.maxRegistrationBodyBytes : limits_.maxBodyBytes;
    const QByteArray length = contentLength.value_or("0");
    bool fits = false;
    const qint64 bytes = length.size() <= 18 ? length.toLongLong(&fits) : 0;
    if (!fits || bytes > cap) {
        refuse(
            413,
            QStringLiteral("body of %1 bytes is over the cap of %2 bytes").arg(QString::fromLatin1(length)).arg(cap));
        return;
    }
    bodyLeft_ = bytes;
}

void ConnectionGuard::refuse(int status, const QString& message)
{
    closing_ = true;
    // The HTTP server must not parse what follows: it would answer a second time.
    disconnect(socket_, &QTcpSocket::readyRead, nullptr, nullptr);
    Json error = Json::object();
    error["statusCode"] = status;
    error["message"] = toStdString(message);
    const QByteArray body = QByteArray::fromStdString(error.dump());
    socket_->write(QByteArray("HTTP/1.1 ") + QByteArray::number(status) + ' ' + reasonPhrase(status) +
                   "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
                   "\r\nConnection: close\r\n\r\n" + body);
    emit refused(path_, status, message);
    socket_->disconnectFromHost();
}

} // namespace nerova::presence

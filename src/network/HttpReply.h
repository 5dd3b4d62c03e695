#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

namespace nerova {

// Makes `request` verify its TLS peer, whatever the process-wide default says.
void requireVerifiedPeer(QNetworkRequest& request);
// A request for `url` whose TLS peer is always verified.
QNetworkRequest verifiedRequest(const QUrl& url);

// Bounds a request under way: aborts it once `deadline` has passed since now, however slowly data
// keeps trickling in (a TimeoutError), or once more than `maxBodyBytes` of body have arrived (an
// UnknownContentError).
void limitReply(QNetworkReply& reply, std::chrono::milliseconds deadline, qint64 maxBodyBytes);

// Why a finished request got no usable answer: Qt's error code and text.
struct ReplyFailure {
    QNetworkReply::NetworkError code;
    QString message;

    // The code's name with the text, for example ConnectionRefusedError("Connection refused").
    QString description() const;
};

// The failure of a finished reply: no connection, a time-out, a TLS error, a broken transfer, or a
// limit of limitReply. Nothing when the request got through, including HTTP answers with status
// 4xx or 5xx (which Qt reports as errors too).
std::optional<ReplyFailure> replyFailure(const QNetworkReply& reply);

// Owns a QObject and deletes it from the event loop: replies and the managers that own them are
// released after a coroutine resumed from their signals is done with them, never inside the emission.
struct LaterDeleter {
    void operator()(QObject* object) const { object->deleteLater(); }
};
template <typename T>
using LaterDeleted = std::unique_ptr<T, LaterDeleter>;

} // namespace nerova

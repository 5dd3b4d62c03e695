#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QNetworkReply;

namespace nerova {

// Whether a finished reply carries an HTTP response. Qt reports 4xx and 5xx answers as errors
// too (its content and server error ranges); those are answers all the same, unlike transport
// failures such as a refused connection, a timeout or a reset in mid-body.
bool hasHttpResponse(const QNetworkReply& reply);

// The reply's error as a case with its text, for example ConnectionRefusedError("Connection refused").
// A cancelled reply is described as TimeoutError: replies are cancelled only by their transfer timeout.
QString describeReplyError(const QNetworkReply& reply);

// Owns a QObject and deletes it from the event loop: replies and the managers that own them are
// released after a coroutine resumed from their signals is done with them, never inside the emission.
struct LaterDeleter {
    void operator()(QObject* object) const { object->deleteLater(); }
};
template <typename T>
using LaterDeleted = std::unique_ptr<T, LaterDeleter>;

} // namespace nerova

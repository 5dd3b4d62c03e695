#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class QNetworkReply;

namespace nerova {

// Bounds a request under way: aborts it once `deadline` has passed since now, however slowly data
// keeps trickling in, or once more than `maxBodyBytes` of body have arrived.
void limitReply(QNetworkReply& reply, std::chrono::milliseconds deadline, qint64 maxBodyBytes);

// Why a finished reply carries no usable answer, as a case with its text: a transport failure
// such as ConnectionRefusedError("Connection refused"), or TimeoutError or bodyTooLarge from
// limitReply. Nothing when the request got through, including HTTP answers with status 4xx or
// 5xx (which Qt reports as errors too).
std::optional<QString> replyFailure(const QNetworkReply& reply);

// Owns a QObject and deletes it from the event loop: replies and the managers that own them are
// released after a coroutine resumed from their signals is done with them, never inside the emission.
struct LaterDeleter {
    void operator()(QObject* object) const { object->deleteLater(); }
};
template <typename T>
using LaterDeleted = std::unique_ptr<T, LaterDeleter>;

} // namespace nerova

#pragma once

#include "common/CancellationToken.h"
#include "network/HttpResponse.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QNetworkRequest>
#include <QObject>
#include <QUrl>

#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace nerova {

// Makes `request` verify its TLS peer, whatever the process-wide default says.
void requireVerifiedPeer(QNetworkRequest& request);
// A request for `url` whose TLS peer is always verified.
QNetworkRequest verifiedRequest(const QUrl& url);

// How one exchange runs.
struct ExchangeOptions {
    QByteArray verb = QByteArrayLiteral("GET");
    QByteArray body;
    // Asked for every redirect; without it the network stack's default applies (never from https
    // to http).
    std::function<bool(const QUrl& target)> permitRedirect;
    // Bounds of the whole exchange, however slowly data keeps trickling in: a TimeoutError once
    // `deadline` has passed, an UnknownContentError once more than `maxBodyBytes` have arrived.
    std::optional<std::chrono::milliseconds> deadline;
    qint64 maxBodyBytes = std::numeric_limits<qint64>::max();
    // Once cancelled, the request is aborted as at the deadline and the exchange raises
    // OperationCancelled instead of an error.
    CancellationToken cancellation;
};

// Sends one request through `session`, with its TLS peer verified, and waits for the whole answer.
// Every HTTP status counts as an answer (Qt reports many as errors too); a failure without one,
// or a header value with a line break (refused before sending), raises URLLoadingError.
QCoro::Task<HttpResponse> exchange(QNetworkAccessManager& session, QNetworkRequest request,
                                   ExchangeOptions options = {});

// Owns a QObject and deletes it from the event loop: replies and the managers that own them are
// released after a coroutine resumed from their signals is done with them, never inside the emission.
struct LaterDeleter {
    void operator()(QObject* object) const { object->deleteLater(); }
};
template <typename T>
using LaterDeleted = std::unique_ptr<T, LaterDeleter>;

} // namespace nerova

#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QList>
#include <QNetworkRequest>
#include <QPair>

#include <optional>

class QNetworkAccessManager;

namespace nerova {

// What came back for one request that reached its server.
struct HttpAnswer {
    std::optional<int> statusCode; // absent when the answer is not an HTTP response (a file URL)
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
};

// How redirects are treated: the network stack's default (never from https to http), or each
// hop checked against the service endpoint rule, so that a loopback http endpoint cannot forward
// credentials in clear to another host.
enum class RedirectRule { standard, serviceEndpoint };

// Sends one request through `session` and waits for the whole answer. Every HTTP status counts as
// an answer; a failure without one (no connection, time-out, TLS error, broken transfer) raises
// URLLoadingError, and a redirect refused under RedirectRule::serviceEndpoint raises
// NerovaClientError::insecureEndpoint.
QCoro::Task<HttpAnswer> exchange(QNetworkAccessManager& session, QNetworkRequest request, QByteArray verb,
                                 QByteArray body, RedirectRule redirects);

} // namespace nerova

#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QUrl>

#include <optional>

namespace nerova {

// What came back for one request that reached its server.
struct HttpResponse {
    QUrl url;                      // where the answer came from, after redirects
    std::optional<int> statusCode; // absent when the answer is not an HTTP response (a file URL)
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // The redirect target that `permitRedirect` refused; nothing else is set then.
    std::optional<QUrl> refusedRedirect;

    // The value of the first header named `name`, compared without regard to case.
    std::optional<QByteArray> header(const QByteArray& name) const;
};

} // namespace nerova

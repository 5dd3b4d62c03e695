#pragma once

#include "common/Error.h"
#include "common/Json.h"
#include "network/HttpResponse.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <optional>

namespace nerova {

// The body the service sends with a failing status. `statusCode` is the service's own code, which
// may differ from the HTTP status line (412 means the service does not know the agent).
struct ServerError {
    qint64 statusCode = 0;
    QString message;
    std::optional<QString> defaultMessage;

    Json toJson() const;
    // Strict: `statusCode` must be an integer and `message` a string.
    static ServerError fromJson(const Json& json, const QString& path = {});
};

// A service call that the service refused or that could not be formed.
class NerovaClientError final : public Error {
public:
    enum class Case {
        serverError,      // status 300 or more with a ServerError body
        httpError,        // status 300 or more with any other body, or none
        urlError,         // no request URL can be formed
        insecureEndpoint, // the endpoint is neither https nor a loopback http address; nothing was sent
    };

    static NerovaClientError server(ServerError error);
    static NerovaClientError http(HttpResponse response);
    static NerovaClientError url();
    static NerovaClientError insecure(QUrl endpoint);

    Case errorCase() const { return case_; }
    // Present for serverError.
    const std::optional<ServerError>& serverError() const { return serverError_; }
    // Present for httpError.
    const std::optional<HttpResponse>& response() const { return response_; }
    // The refused address, for insecureEndpoint.
    const QUrl& endpoint() const { return endpoint_; }

    QString description() const override;

private:
    explicit NerovaClientError(Case errorCase) : case_(errorCase) {}

    Case case_;
    std::optional<ServerError> serverError_;
    std::optional<HttpResponse> response_;
    QUrl endpoint_;
};

} // namespace nerova

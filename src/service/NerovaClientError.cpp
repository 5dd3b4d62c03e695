#include "service/NerovaClientError.h"

namespace nerova {

Json ServerError::toJson() const
{
    Json json = Json::object();
    json["statusCode"] = statusCode;
    json["message"] = toStdString(message);
    if (defaultMessage) {
        json["defaultMessage"] = toStdString(*defaultMessage);
    }
    return json;
}

ServerError ServerError::fromJson(const Json& json, const QString& path)
{
    const JsonObjectReader reader(json, path);
    return {reader.int64("statusCode"), reader.string("message"), reader.optionalString("defaultMessage")};
}

NerovaClientError NerovaClientError::server(ServerError error)
{
    NerovaClientError result(Case::serverError);
    result.serverError_ = std::move(error);
    return result;
}

NerovaClientError NerovaClientError::http(HttpResponse response)
{
    NerovaClientError result(Case::httpError);
    result.response_ = std::move(response);
    return result;
}

NerovaClientError NerovaClientError::url() { return NerovaClientError(Case::urlError); }

NerovaClientError NerovaClientError::insecure(QUrl endpoint)
{
    NerovaClientError result(Case::insecureEndpoint);
    result.endpoint_ = std::move(endpoint);
    return result;
}

QString NerovaClientError::description() const
{
    switch (case_) {
    case Case::serverError: {
        const QString quoted = describeCase({}, serverError_->message); // ("...")
        return QStringLiteral("serverError(statusCode: %1, message: %2)")
            .arg(serverError_->statusCode)
            .arg(quoted.mid(1, quoted.size() - 2));
    }
    case Case::httpError: return QStringLiteral("httpError(statusCode: %1)").arg(response_->statusCode.value_or(0));
    case Case::urlError: return QStringLiteral("urlError");
    case Case::insecureEndpoint:
        return describeCase(QStringLiteral("insecureEndpoint"), endpoint_.toDisplayString()) +
               QStringLiteral(": the service endpoint must use https (plain http only for loopback hosts)");
    }
    return {};
}

} // namespace nerova

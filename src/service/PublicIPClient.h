#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

#include <chrono>
#include <optional>

namespace nerova {

// Asks a public-IP lookup service for the address under which this machine reaches the
// internet: one GET answered by a JSON object whose "ip" field holds the address.
class PublicIPClient {
public:
    static constexpr std::chrono::milliseconds defaultTimeout{60'000};
    // The answer is a small JSON object; anything far larger is refused.
    static constexpr qint64 maxAnswerBytes = 64 * 1024;
    // https://api.ipify.org?format=json, unless the setting "publicIpEndpoint" names another.
    static QUrl defaultEndpoint();

    explicit PublicIPClient(QUrl ipApi = defaultEndpoint(), std::chrono::milliseconds timeout = defaultTimeout);

    const QUrl& ipApi() const { return ipApi_; }

    // The "ip" text of a 200 answer exactly as received (neither validated nor normalised);
    // nothing for any other status. Each call uses a session of its own that keeps no cookies,
    // cache or credentials. Raises URLLoadingError when the request gets no answer within the
    // timeout (or one larger than maxAnswerBytes) and JsonDecodeError when a 200 answer does not
    // hold a text "ip".
    QCoro::Task<std::optional<QString>> fetchPublicIP() const;

private:
    QUrl ipApi_;
    std::chrono::milliseconds timeout_;
};

} // namespace nerova

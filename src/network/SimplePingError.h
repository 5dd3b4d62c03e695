#pragma once

#include "common/Error.h"

#include <QString>

namespace nerova {

// A failure of the ICMP echo engine: host-name resolution, or a system call on its socket.
class SimplePingError : public Error {
public:
    enum class Domain {
        hostResolution, // code 1: no acceptable address; code 2: the resolver failed
        posix,          // code: the errno value
    };
    static constexpr int hostNotFound = 1;
    static constexpr int resolutionFailed = 2;

    SimplePingError(Domain domain, int code, QString message);
    // A POSIX error with the system's text for `code`, followed by `context` when given.
    static SimplePingError posix(int code, const QString& context = {});

    Domain domain() const { return domain_; }
    int code() const { return code_; }
    const QString& message() const { return message_; }

    // For example hostResolution(1, "no IPv4 address for ::1") or posix(9, "Bad file descriptor").
    QString description() const override;

private:
    Domain domain_;
    int code_;
    QString message_;
};

} // namespace nerova

#pragma once

#include "common/Error.h"

namespace nerova {

// The failure to register the application to start at login.
class LoginItemError final : public Error {
public:
    explicit LoginItemError(QString detail) : detail_(std::move(detail)) {}
    // registrationFailed("..."), naming the file and the reason.
    QString description() const override { return describeCase(QStringLiteral("registrationFailed"), detail_); }

private:
    QString detail_;
};

// The application's start at login.
class LoginItem {
public:
    enum class Status { notRegistered, enabled, requiresApproval, notFound };

    virtual ~LoginItem() = default;
    // Makes the application start at login where the user has not decided otherwise; raises
    // LoginItemError when that fails.
    virtual void registerItem() = 0;
    virtual Status status() const = 0;
};

} // namespace nerova

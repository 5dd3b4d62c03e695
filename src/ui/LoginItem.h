#pragma once

#include "common/Error.h"

namespace nerova {

struct LoginItemErrorCases {
    NEROVA_ERROR_CASES(registrationFailed);
};

// The failure to register the application to start at login: registrationFailed("..."), naming
// the file and the reason.
class LoginItemError final : public ErrorFamily<LoginItemErrorCases> {
public:
    using ErrorFamily::ErrorFamily;
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

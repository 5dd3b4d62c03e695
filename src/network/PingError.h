#pragma once

#include "common/Error.h"

#include <utility>

namespace nerova {

struct PingErrorCases {
    NEROVA_ERROR_CASES(failed,           // the engine failed: resolution, socket set-up, sending or receiving
                       alreadyPinging,   // the pinger is busy with another ping
                       timedOut,         // no reply within the timeout
                       unexpectedPacket, // something other than our echo reply arrived
                       endWithoutStart); // a reply arrived before any request was recorded as sent
};

// Why a one-shot ping gave no round-trip time. Only `failed` carries a payload: the description
// of the underlying error.
class PingError final : public ErrorFamily<PingErrorCases> {
public:
    using ErrorFamily::ErrorFamily;
    static PingError failed(QString cause) { return PingError(Case::failed, std::move(cause)); }

    // "timedOut", or "failed(<cause>)": the cause is itself a description, shown as it stands.
    QString description() const override
    {
        return errorCase() == Case::failed ? caseName() + u'(' + payload() + u')' : caseName();
    }
};

} // namespace nerova

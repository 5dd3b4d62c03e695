#pragma once

#include "common/Error.h"

#include <QString>

#include <utility>

namespace nerova {

// Why a one-shot ping gave no round-trip time.
class PingError : public Error {
public:
    enum class Case {
        failed,           // the engine failed: resolution, socket set-up, sending or receiving
        alreadyPinging,   // the pinger is busy with another ping
        timedOut,         // no reply within the timeout
        unexpectedPacket, // something other than our echo reply arrived
        endWithoutStart,  // a reply arrived before any request was recorded as sent
    };

    explicit PingError(Case errorCase, QString cause = {});
    static PingError failed(QString cause) { return PingError(Case::failed, std::move(cause)); }

    Case errorCase() const { return case_; }
    // The description of the underlying error (failed only).
    const QString& cause() const { return cause_; }

    // "timedOut", or "failed(<cause>)".
    QString description() const override;

private:
    Case case_;
    QString cause_;
};

QString caseName(PingError::Case errorCase);

} // namespace nerova

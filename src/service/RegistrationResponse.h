#pragma once

#include "common/Json.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace nerova {

// Answer of POST /registration: Base64 of one RSA block.
struct RegistrationResponse {
    QString payload;

    static RegistrationResponse fromJson(const Json& json, const QString& path);

    // The encrypted block: `payload` must be strict Base64 with padding (no line breaks, no other
    // characters); nothing otherwise.
    std::optional<QByteArray> ciphertext() const;
};

// The decrypted payload.
struct RegistrationResponsePayload {
    QString secret;
    QString projectId;
    QString instanceId;
    QString nonce;

    static RegistrationResponsePayload fromJson(const Json& json, const QString& path);
};

} // namespace nerova

// Feeds arbitrary bytes to the two decoders of an enrolment: the registration answer with its
// Base64 payload, and the decrypted payload (the same bytes taken as the decrypted text). Each must
// either decode or raise JsonDecodeError; a payload that is not strict Base64 yields no ciphertext.
#include "service/RegistrationResponse.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        const auto answer = nerova::RegistrationResponse::fromJson(nerova::parseJson(bytes), {});
        if (const std::optional<QByteArray> ciphertext = answer.ciphertext()) {
            // Strict Base64: whole groups of four characters, each group three bytes less padding.
            const qsizetype groups = answer.payload.size() / 4;
            if (answer.payload.size() % 4 != 0 || ciphertext->size() > groups * 3 ||
                ciphertext->size() < groups * 3 - 2) {
                std::abort();
            }
        }
    } catch (const nerova::JsonDecodeError& error) {
        (void)error.description();
    }
    try {
        (void)nerova::RegistrationResponsePayload::fromJson(nerova::parseJson(bytes), {});
    } catch (const nerova::JsonDecodeError& error) {
        (void)error.description();
    }
    return 0;
}

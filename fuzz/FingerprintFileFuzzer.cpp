// Feeds arbitrary bytes to the fingerprint file decoder in both timestamp forms. The decoder must
// either yield a model or raise JsonDecodeError; a decoded model must survive the stored-form round trip.
#include "common/Json.h"
#include "rules/FingerprintFileJson.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const auto form : {nerova::TimestampForm::served, nerova::TimestampForm::stored}) {
        try {
            const nerova::FingerprintFile file = nerova::decodeFingerprintFile(bytes, form);
            const QByteArray stored = nerova::encodeFingerprintFile(file);
            const nerova::FingerprintFile again = nerova::decodeFingerprintFile(stored, nerova::TimestampForm::stored);
            if (again.fingerprints.size() != file.fingerprints.size() ||
                again.fingerprintVersion != file.fingerprintVersion || nerova::encodeFingerprintFile(again) != stored) {
                std::abort();
            }
        } catch (const nerova::JsonDecodeError&) {
        }
    }
    return 0;
}

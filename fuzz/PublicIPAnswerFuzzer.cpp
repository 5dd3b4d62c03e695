// Feeds arbitrary bytes to the public-IP answer decoder, then reads the address as the rules
// engine does. Decoding must yield the text or raise JsonDecodeError; reading the address must
// yield a 32-bit value or raise CIDRErrors.
#include "common/Json.h"
#include "rules/CIDRv4.h"
#include "service/PublicIPAnswer.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        const nerova::PublicIPAnswer answer = nerova::PublicIPAnswer::fromJson(nerova::parseJson(bytes), {});
        const qint64 value = nerova::CIDRv4::dottedQuadValue(answer.ip);
        if (value < 0 || value > 0xFFFF'FFFFLL) {
            std::abort();
        }
    } catch (const nerova::JsonDecodeError& error) {
        (void)error.description();
    } catch (const nerova::CIDRErrors& error) {
        (void)error.description();
    }
    return 0;
}

// Feeds arbitrary bytes to the check-in answer decoder, as the client decodes the body of a
// successful check-in. The decoder must either yield an answer or raise JsonDecodeError.
#include "service/AgentCheckinResponse.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        (void)nerova::AgentCheckinResponse::fromJson(nerova::parseJson(bytes), {});
    } catch (const nerova::JsonDecodeError& error) {
        (void)error.description();
    }
    return 0;
}

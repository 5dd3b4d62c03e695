// Feeds arbitrary bytes to the decoder of the service's error body, as the client reads the body
// of a failing answer. It must either yield a ServerError, which survives its own JSON form and
// describes itself, or raise JsonDecodeError.
#include "service/NerovaClientError.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        const nerova::ServerError error = nerova::ServerError::fromJson(nerova::parseJson(bytes));
        const nerova::ServerError again = nerova::ServerError::fromJson(error.toJson());
        if (again.statusCode != error.statusCode || again.message != error.message ||
            again.defaultMessage != error.defaultMessage) {
            std::abort();
        }
        (void)nerova::NerovaClientError::server(error).description();
    } catch (const nerova::JsonDecodeError& error) {
        (void)error.description();
    }
    return 0;
}

// Feeds arbitrary bytes to the decoder of one managed policy file. It must either yield a JSON
// object, whose members can all be described in an error line and which survives its own text,
// or raise JsonDecodeError.
#include "common/ManagedConfigurationJson.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        const nerova::Json policy = nerova::decodeManagedPolicy(bytes);
        for (const auto& [key, value] : policy.items()) {
            (void)nerova::fromStdString(key);
            (void)nerova::describeJsonValue(value);
        }
        if (nerova::decodeManagedPolicy(QByteArray::fromStdString(policy.dump())) != policy) {
            std::abort();
        }
    } catch (const nerova::JsonDecodeError& error) {
        (void)error.description();
    }
    return 0;
}

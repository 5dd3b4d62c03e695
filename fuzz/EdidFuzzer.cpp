// Feeds arbitrary bytes to the EDID decoder that reads the monitors' blobs from sysfs. Decoding
// must yield nothing or an identity whose id and name hold to their form: three manufacturer
// letters, four and eight hex digits, descriptor texts without line breaks or surrounding spaces.
#include "network/Edid.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

bool cleanText(const QString& text)
{
    return text.size() <= 13 * 4 && !text.startsWith(u' ') && !text.endsWith(u' ') &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u' ' && c < QChar(0x7f); });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView blob(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<nerova::EdidIdentity> identity = nerova::decodeEdid(blob);
    if (!identity) {
        return 0;
    }
    require(size >= 128);
    require(identity->manufacturer.size() == 3);
    require(cleanText(identity->serialText) && cleanText(identity->name));
    const QString id = identity->peripheralId();
    const QString expected = QStringLiteral("display:") + identity->manufacturer + u'-' +
                             QString::number(identity->productCode, 16).rightJustified(4, u'0') + u'-' +
                             QString::number(identity->serialNumber, 16).rightJustified(8, u'0');
    require(identity->serialText.isEmpty() ? id == expected : id == expected + u'-' + identity->serialText);
    require(!identity->displayName().isEmpty());
    require(identity->uniqueSerial() || identity->serialText.isEmpty());
    // Only the base block counts: what follows it changes nothing.
    require(nerova::decodeEdid(blob.first(128)) == identity);
    return 0;
}

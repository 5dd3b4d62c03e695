#pragma once

#include "common/Json.h"
#include "rules/FingerprintFile.h"

#include <QByteArray>

namespace nerova {

// The two text forms of `createdAt`: as served (fractional seconds required, Z or a ±hh:mm
// offset) and as stored locally (whole seconds, UTC, "Z").
enum class TimestampForm { served, stored };

// Nested rules deeper than this are refused; no real file comes close, and the limit keeps a
// hostile file from exhausting the stack of the decoder or the rules engine.
inline constexpr int maxRuleNesting = 32;

// Decodes a whole fingerprint file or raises JsonDecodeError naming the offending key path;
// there are no defaults and no partial results.
FingerprintFile decodeFingerprintFile(const QByteArray& json, TimestampForm form);

// Encodes a file in the stored form: keys in field order, absent location parts left out.
QByteArray encodeFingerprintFile(const FingerprintFile& file);

// One fingerprint in the served form, as an element of the file's "fingerprints".
Json encodeFingerprint(const Fingerprint& fingerprint);

// A location point as it appears in the file and in presence reports: absent parts left out.
Json encodeLocationPoint(const LocationPoint& point);

// Parses a timestamp text in the given form; an invalid text yields an invalid QDateTime.
QDateTime parseFingerprintTimestamp(QStringView text, TimestampForm form);
QString formatStoredTimestamp(const QDateTime& time);

} // namespace nerova

#pragma once

#include <QDateTime>
#include <QHashFunctions>
#include <QString>

#include <optional>
#include <vector>

namespace nerova {

// The test a condition performs. The JSON holds the raw value.
enum class FingerprintConditionType {
    internalIp,
    externalIp,
    ping,
    webContent,
    connection,
    or_,
    gateway,
    wireless,
    dnsDomain,
    tunnel,
    peripheral
};

QString rawValue(FingerprintConditionType type);
// One of the raw texts, compared exactly; anything else yields nothing.
std::optional<FingerprintConditionType> fingerprintConditionTypeFromRawValue(QStringView raw);
size_t qHash(FingerprintConditionType type, size_t seed = 0);

struct FingerprintConditionArgument {
    QString name;
    QString value;

    friend bool operator==(const FingerprintConditionArgument&, const FingerprintConditionArgument&) = default;
};

struct FingerprintCondition;

struct FingerprintRule {
    QString name;
    std::vector<FingerprintCondition> conditions;
};

struct FingerprintCondition {
    FingerprintConditionType type;
    std::vector<FingerprintConditionArgument> arguments;
    std::vector<FingerprintRule> rules;
    bool inverted;

    // The value of the first argument named exactly `name`.
    std::optional<QString> argument(QStringView name) const;
};

bool operator==(const FingerprintRule& a, const FingerprintRule& b);
bool operator==(const FingerprintCondition& a, const FingerprintCondition& b);

struct LocationPoint {
    QString locationId;
    std::optional<QString> levelId;
    std::optional<QString> zoneId;
    std::optional<QString> placeId;

    friend bool operator==(const LocationPoint&, const LocationPoint&) = default;
};

// A location described by rules; the fingerprint matches when one of its rules holds.
// Fingerprints are told apart by id only.
struct Fingerprint {
    QString fingerprintId;
    QString name;
    LocationPoint locationPoint;
    std::vector<FingerprintRule> rules;

    const QString& id() const { return fingerprintId; }
};

struct FingerprintFile {
    std::vector<Fingerprint> fingerprints;
    qint64 fingerprintVersion;
    QDateTime createdAt; // UTC
};

size_t qHash(const FingerprintConditionArgument& argument, size_t seed = 0);
size_t qHash(const FingerprintRule& rule, size_t seed = 0);
size_t qHash(const FingerprintCondition& condition, size_t seed = 0);
size_t qHash(const LocationPoint& point, size_t seed = 0);

} // namespace nerova

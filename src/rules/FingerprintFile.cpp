#include "rules/FingerprintFile.h"

#include <array>
#include <utility>

namespace nerova {

namespace {

constexpr std::array<std::pair<FingerprintConditionType, const char16_t*>, 11> conditionTypeNames{{
    {FingerprintConditionType::internalIp, u"internalIp"},
    {FingerprintConditionType::externalIp, u"externalIp"},
    {FingerprintConditionType::ping, u"ping"},
    {FingerprintConditionType::webContent, u"webContent"},
    {FingerprintConditionType::connection, u"tcpConnection"},
    {FingerprintConditionType::or_, u"or"},
    {FingerprintConditionType::gateway, u"gateway"},
    {FingerprintConditionType::wireless, u"wireless"},
    {FingerprintConditionType::dnsDomain, u"dnsDomain"},
    {FingerprintConditionType::tunnel, u"tunnel"},
    {FingerprintConditionType::peripheral, u"peripheral"},
}};

size_t hashOptional(const std::optional<QString>& value, size_t seed)
{
    return value ? qHashMulti(seed, 1u, *value) : ::qHash(0u, seed);
}

} // namespace

QString rawValue(FingerprintConditionType type)
{
    for (const auto& [candidate, name] : conditionTypeNames) {
        if (candidate == type) {
            return QString::fromUtf16(name);
        }
    }
    return {};
}

std::optional<FingerprintConditionType> fingerprintConditionTypeFromRawValue(QStringView raw)
{
    for (const auto& [type, name] : conditionTypeNames) {
        if (raw == QStringView(name)) {
            return type;
        }
    }
    return std::nullopt;
}

size_t qHash(FingerprintConditionType type, size_t seed) { return qHash(rawValue(type), seed); }

std::optional<QString> FingerprintCondition::argument(QStringView name) const
{
    for (const FingerprintConditionArgument& argument : arguments) {
        if (argument.name == name) {
            return argument.value;
        }
    }
    return std::nullopt;
}

bool operator==(const FingerprintRule& a, const FingerprintRule& b)
{
    return a.name == b.name && a.conditions == b.conditions;
}

bool operator==(const FingerprintCondition& a, const FingerprintCondition& b)
{
    return a.type == b.type && a.arguments == b.arguments && a.rules == b.rules && a.inverted == b.inverted;
}

size_t qHash(const FingerprintConditionArgument& argument, size_t seed)
{
    return qHashMulti(seed, argument.name, argument.value);
}

size_t qHash(const FingerprintRule& rule, size_t seed)
{
    seed = qHash(rule.name, seed);
    return qHashRange(rule.conditions.begin(), rule.conditions.end(), seed);
}

size_t qHash(const FingerprintCondition& condition, size_t seed)
{
    seed = qHash(condition.type, seed);
    seed = qHashRange(condition.arguments.begin(), condition.arguments.end(), seed);
    seed = qHashRange(condition.rules.begin(), condition.rules.end(), seed);
    return ::qHash(condition.inverted ? 1u : 0u, seed);
}

size_t qHash(const LocationPoint& point, size_t seed)
{
    seed = qHash(point.locationId, seed);
    seed = hashOptional(point.levelId, seed);
    seed = hashOptional(point.zoneId, seed);
    return hashOptional(point.placeId, seed);
}

} // namespace nerova

#include "rules/FingerprintFileJson.h"

#include "common/Json.h"

#include <QRegularExpression>
#include <QTimeZone>

namespace nerova {

namespace {

using Case = JsonDecodeError::Case;

FingerprintRule decodeRule(const Json& value, const QString& path, int depth);

FingerprintConditionArgument decodeArgument(const Json& value, const QString& path)
{
    const JsonObjectReader reader(value, path);
    return {reader.string("name"), reader.string("value")};
}

FingerprintCondition decodeCondition(const Json& value, const QString& path, int depth)
{
    const JsonObjectReader reader(value, path);
    const QString typeText = reader.string("type");
    const auto type = fingerprintConditionTypeFromRawValue(typeText);
    if (!type) {
        throw JsonDecodeError(Case::dataCorrupted, reader.pathOf("type"),
                              QStringLiteral("\"%1\" is not a condition type").arg(typeText));
    }
    auto arguments = reader.array("arguments", decodeArgument);
    const Json& nested = reader.required("rules");
    if (depth >= maxRuleNesting && nested.is_array() && !nested.empty()) {
        throw JsonDecodeError(Case::dataCorrupted, reader.pathOf("rules"),
                              QStringLiteral("rules are nested more than %1 levels deep").arg(maxRuleNesting));
    }
    auto rules = reader.array(
        "rules", [depth](const Json& rule, const QString& rulePath) { return decodeRule(rule, rulePath, depth + 1); });
    return {*type, std::move(arguments), std::move(rules), reader.boolean("inverted")};
}

FingerprintRule decodeRule(const Json& value, const QString& path, int depth)
{
    const JsonObjectReader reader(value, path);
    QString name = reader.string("name");
    auto conditions = reader.array("conditions", [depth](const Json& condition, const QString& conditionPath) {
        return decodeCondition(condition, conditionPath, depth);
    });
    return {std::move(name), std::move(conditions)};
}

LocationPoint decodeLocationPoint(const Json& value, const QString& path)
{
    const JsonObjectReader reader(value, path);
    return {reader.string("locationId"), reader.optionalString("levelId"), reader.optionalString("zoneId"),
            reader.optionalString("placeId")};
}

Fingerprint decodeFingerprint(const Json& value, const QString& path)
{
    const JsonObjectReader reader(value, path);
    QString fingerprintId = reader.string("fingerprintId");
    QString name = reader.string("name");
    LocationPoint point = decodeLocationPoint(reader.required("locationPoint"), reader.pathOf("locationPoint"));
    auto rules =
        reader.array("rules", [](const Json& rule, const QString& rulePath) { return decodeRule(rule, rulePath, 0); });
    return {std::move(fingerprintId), std::move(name), std::move(point), std::move(rules)};
}

Json encodeRule(const FingerprintRule& rule);

Json encodeCondition(const FingerprintCondition& condition)
{
    Json arguments = Json::array();
    for (const FingerprintConditionArgument& argument : condition.arguments) {
        arguments.push_back(Json{{"name", toStdString(argument.name)}, {"value", toStdString(argument.value)}});
    }
    Json rules = Json::array();
    for (const FingerprintRule& rule : condition.rules) {
        rules.push_back(encodeRule(rule));
    }
    Json json = Json::object();
    json["type"] = toStdString(rawValue(condition.type));
    json["arguments"] = std::move(arguments);
    json["rules"] = std::move(rules);
    json["inverted"] = condition.inverted;
    return json;
}

Json encodeRule(const FingerprintRule& rule)
{
    Json conditions = Json::array();
    for (const FingerprintCondition& condition : rule.conditions) {
        conditions.push_back(encodeCondition(condition));
    }
    Json json = Json::object();
    json["name"] = toStdString(rule.name);
    json["conditions"] = std::move(conditions);
    return json;
}

} // namespace

Json encodeLocationPoint(const LocationPoint& point)
{
    Json json = Json::object();
    json["locationId"] = toStdString(point.locationId);
    const std::pair<const char*, const std::optional<QString>*> optionals[] = {
        {"levelId", &point.levelId}, {"zoneId", &point.zoneId}, {"placeId", &point.placeId}};
    for (const auto& [key, value] : optionals) {
        if (*value) {
            json[key] = toStdString(**value);
        }
    }
    return json;
}

Json encodeFingerprint(const Fingerprint& fingerprint)
{
    Json rules = Json::array();
    for (const FingerprintRule& rule : fingerprint.rules) {
        rules.push_back(encodeRule(rule));
    }
    Json json = Json::object();
    json["fingerprintId"] = toStdString(fingerprint.fingerprintId);
    json["name"] = toStdString(fingerprint.name);
    json["locationPoint"] = encodeLocationPoint(fingerprint.locationPoint);
    json["rules"] = std::move(rules);
    return json;
}

namespace {

// Builds a UTC date-time from validated parts; invalid when a field is out of range.
QDateTime makeDateTime(const QRegularExpressionMatch& match, int milliseconds, int offsetSeconds)
{
    const QDate date(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt());
    const QTime time(match.captured(4).toInt(), match.captured(5).toInt(), match.captured(6).toInt(), milliseconds);
    if (!date.isValid() || !time.isValid()) {
        return {};
    }
    return QDateTime(date, time, QTimeZone(offsetSeconds)).toUTC();
}

} // namespace

QDateTime parseFingerprintTimestamp(QStringView text, TimestampForm form)
{
    static const QRegularExpression served(
        QStringLiteral(R"(^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})\.(\d{1,9})(?:(Z)|([+-])(\d{2}):(\d{2}))$)"));
    static const QRegularExpression stored(QStringLiteral(R"(^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})Z$)"));

    if (form == TimestampForm::stored) {
        const QRegularExpressionMatch match = stored.match(text.toString());
        return match.hasMatch() ? makeDateTime(match, 0, 0) : QDateTime();
    }
    const QRegularExpressionMatch match = served.match(text.toString());
    if (!match.hasMatch()) {
        return {};
    }
    // Sub-millisecond digits are dropped: the model keeps milliseconds.
    const int milliseconds = match.captured(7).leftJustified(3, u'0').left(3).toInt();
    int offset = 0;
    if (match.captured(8).isEmpty()) {
        const int hours = match.captured(10).toInt();
        const int minutes = match.captured(11).toInt();
        if (hours > 23 || minutes > 59) {
            return {};
        }
        offset = (hours * 3600 + minutes * 60) * (match.captured(9) == u"-" ? -1 : 1);
    }
    return makeDateTime(match, milliseconds, offset);
}

QString formatStoredTimestamp(const QDateTime& time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + u'Z';
}

FingerprintFile decodeFingerprintFile(const QByteArray& json, TimestampForm form)
{
    const Json document = parseJson(json);
    const JsonObjectReader reader(document, {});
    auto fingerprints = reader.array("fingerprints", decodeFingerprint);
    const qint64 version = reader.int64("fingerprintVersion");
    const QString createdAtText = reader.string("createdAt");
    const QDateTime createdAt = parseFingerprintTimestamp(createdAtText, form);
    if (!createdAt.isValid()) {
        const QString expected = form == TimestampForm::served
                                     ? QStringLiteral("a date-time with fractional seconds (YYYY-MM-DDThh:mm:ss.fffZ)")
                                     : QStringLiteral("a UTC date-time in whole seconds (YYYY-MM-DDThh:mm:ssZ)");
        throw JsonDecodeError(Case::dataCorrupted, QStringLiteral("createdAt"),
                              QStringLiteral("\"%1\" is not %2").arg(createdAtText, expected));
    }
    return {std::move(fingerprints), version, createdAt};
}

QByteArray encodeFingerprintFile(const FingerprintFile& file)
{
    Json fingerprints = Json::array();
    for (const Fingerprint& fingerprint : file.fingerprints) {
        fingerprints.push_back(encodeFingerprint(fingerprint));
    }
    Json json = Json::object();
    json["fingerprints"] = std::move(fingerprints);
    json["fingerprintVersion"] = file.fingerprintVersion;
    json["createdAt"] = toStdString(formatStoredTimestamp(file.createdAt));
    const std::string text = json.dump(2);
    return QByteArray(text.data(), qsizetype(text.size()));
}

} // namespace nerova

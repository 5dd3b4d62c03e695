#include "common/Json.h"

#include <limits>

namespace nerova {

namespace {

QString typeMismatch(const char* expected, const Json& found)
{
    return QStringLiteral("expected %1, found %2").arg(QLatin1String(expected), describeJsonValue(found));
}

} // namespace

QString JsonDecodeError::description() const
{
    return path_.isEmpty() ? problem_ : path_ + QLatin1String(": ") + problem_;
}

QString fromStdString(const std::string& text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

std::string toStdString(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    return std::string(utf8.constData(), std::size_t(utf8.size()));
}

Json parseJson(const QByteArray& bytes)
{
    try {
        const auto limitDepth = [](int depth, Json::parse_event_t, Json&) {
            if (depth > maxJsonDepth) {
                throw JsonDecodeError(
                    JsonDecodeError::Case::dataCorrupted, {},
                    QStringLiteral("malformed JSON: nested more than %1 levels deep").arg(maxJsonDepth));
            }
            return true;
        };
        return Json::parse(bytes.cbegin(), bytes.cend(), limitDepth);
    } catch (const Json::exception& error) { // parse_error, and out_of_range for numbers too large for a double
        // nlohmann's message starts with "[json.exception.parse_error.101] parse error at ...": keep the readable part.
        QString message = QString::fromUtf8(error.what());
        const qsizetype bracket = message.indexOf(QLatin1String("] "));
        if (bracket >= 0) {
            message = message.mid(bracket + 2);
        }
        throw JsonDecodeError(JsonDecodeError::Case::dataCorrupted, {}, QStringLiteral("malformed JSON: ") + message);
    }
}

QString describeJsonValue(const Json& value)
{
    constexpr qsizetype maxShown = 60;
    switch (value.type()) {
    case Json::value_t::null: return QStringLiteral("null");
    case Json::value_t::object: return QStringLiteral("an object");
    case Json::value_t::array: return QStringLiteral("an array");
    case Json::value_t::string: {
        QString text = fromStdString(value.get_ref<const std::string&>());
        if (text.size() > maxShown) {
            text = text.left(maxShown) + QStringLiteral("...");
        }
        return QStringLiteral("the string \"%1\"").arg(text);
    }
    case Json::value_t::boolean: return QStringLiteral("the boolean ") + fromStdString(value.dump());
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: return QStringLiteral("the number ") + fromStdString(value.dump());
    case Json::value_t::binary:
    case Json::value_t::discarded: break;
    }
    return QStringLiteral("an unsupported value");
}

QString jsonString(const Json& value, const QString& path)
{
    if (!value.is_string()) {
        throw JsonDecodeError(JsonDecodeError::Case::typeMismatch, path, typeMismatch("a string", value));
    }
    return fromStdString(value.get_ref<const std::string&>());
}

JsonObjectReader::JsonObjectReader(const Json& value, QString path) : object_(value), path_(std::move(path))
{
    if (!object_.is_object()) {
        throw JsonDecodeError(JsonDecodeError::Case::typeMismatch, path_, typeMismatch("an object", object_));
    }
}

QString JsonObjectReader::pathOf(const char* key) const
{
    return path_.isEmpty() ? QString::fromUtf8(key) : path_ + u'.' + QString::fromUtf8(key);
}

bool JsonObjectReader::contains(const char* key) const { return object_.contains(key); }

const Json& JsonObjectReader::required(const char* key) const
{
    const auto it = object_.find(key);
    if (it == object_.end()) {
        throw JsonDecodeError(JsonDecodeError::Case::keyNotFound, pathOf(key),
                              QStringLiteral("required key is missing"));
    }
    if (it->is_null()) {
        throw JsonDecodeError(JsonDecodeError::Case::valueNotFound, pathOf(key),
                              QStringLiteral("required value is null"));
    }
    return *it;
}

QString JsonObjectReader::string(const char* key) const { return jsonString(required(key), pathOf(key)); }

std::optional<QString> JsonObjectReader::optionalString(const char* key) const
{
    const auto it = object_.find(key);
    if (it == object_.end() || it->is_null()) {
        return std::nullopt;
    }
    return jsonString(*it, pathOf(key));
}

qint64 JsonObjectReader::int64(const char* key) const
{
    const Json& value = required(key);
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() <= std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
        return std::int64_t(value.get<std::uint64_t>());
    }
    throw JsonDecodeError(JsonDecodeError::Case::typeMismatch, pathOf(key), typeMismatch("a 64-bit integer", value));
}

bool JsonObjectReader::boolean(const char* key) const
{
    const Json& value = required(key);
    if (!value.is_boolean()) {
        throw JsonDecodeError(JsonDecodeError::Case::typeMismatch, pathOf(key), typeMismatch("a boolean", value));
    }
    return value.get<bool>();
}

} // namespace nerova

#include "common/Json.h"

#include <cmath>
#include <limits>
#include <unordered_map>

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

namespace {

// Builds the document from the parser's events as the library's own builder does, with two
// differences: nesting deeper than maxJsonDepth is refused (the library copies deep values
// recursively), and a member's key is looked up in an index instead of searched for linearly
// (the library's ordered objects search, so an object with many members took quadratic time).
// A repeated key keeps its first place and takes the last value, as in the library.
class JsonBuilder {
public:
    Json root;

    bool null() { return add(Json(nullptr)); }
    bool boolean(bool value) { return add(Json(value)); }
    bool number_integer(Json::number_integer_t value) { return add(Json(value)); }
    bool number_unsigned(Json::number_unsigned_t value) { return add(Json(value)); }
    bool number_float(Json::number_float_t value, const std::string&) { return add(Json(value)); }
    bool string(std::string& value) { return add(Json(std::move(value))); }
    bool binary(Json::binary_t& value) { return add(Json::binary(std::move(value))); }

    bool start_object(std::size_t) { return open(Json::object()); }
    bool key(std::string& name)
    {
        key_ = std::move(name);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(Json::array()); }
    bool end_array() { return close(); }

    template <typename Exception>
    bool parse_error(std::size_t, const std::string&, const Exception& error)
    {
        throw error;
    }

private:
    // An open object or array, and for objects the place of each key seen so far.
    struct Open {
        Json* value;
        std::unordered_map<std::string, std::size_t> places;
    };

    bool open(Json container)
    {
        if (open_.size() >= std::size_t(maxJsonDepth)) {
            throw JsonDecodeError(JsonDecodeError::Case::dataCorrupted, {},
                                  QStringLiteral("malformed JSON: nested more than %1 levels deep").arg(maxJsonDepth));
        }
        // The new value stays where it is while open: nothing is added to its parent meanwhile.
        open_.push_back({&place(std::move(container)), {}});
        return true;
    }

    bool close()
    {
        open_.pop_back();
        return true;
    }

    bool add(Json value)
    {
        place(std::move(value));
        return true;
    }

    Json& place(Json value)
    {
        if (open_.empty()) {
            root = std::move(value);
            return root;
        }
        Open& parent = open_.back();
        if (parent.value->is_array()) {
            return parent.value->get_ref<Json::array_t&>().emplace_back(std::move(value));
        }
        auto& members = static_cast<Json::object_t::Container&>(parent.value->get_ref<Json::object_t&>());
        if (const std::optional<std::size_t> known = find(parent, members)) {
            return members[*known].second = std::move(value);
        }
        if (!parent.places.empty()) {
            parent.places.emplace(key_, members.size());
        }
        return members.emplace_back(std::move(key_), std::move(value)).second;
    }

    // The place of the current key in `members`: searched in small objects, looked up in an index
    // in larger ones.
    std::optional<std::size_t> find(Open& parent, const Json::object_t::Container& members)
    {
        constexpr std::size_t searched = 16;
        if (members.size() < searched) {
            for (std::size_t i = 0; i < members.size(); ++i) {
                if (members[i].first == key_) {
                    return i;
                }
            }
            return std::nullopt;
        }
        if (parent.places.empty()) {
            for (std::size_t i = 0; i < members.size(); ++i) {
                parent.places.emplace(members[i].first, i);
            }
        }
        const auto known = parent.places.find(key_);
        return known == parent.places.end() ? std::nullopt : std::optional(known->second);
    }

    std::vector<Open> open_;
    std::string key_;
};

} // namespace

Json parseJson(const QByteArray& bytes)
{
    try {
        JsonBuilder builder;
        Json::sax_parse(bytes.cbegin(), bytes.cend(), &builder);
        return std::move(builder.root);
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
    // An integral number written with a fraction or an exponent (7.0, 1e3) is still that integer.
    if (value.is_number_float()) {
        const double number = value.get<double>();
        constexpr double limit = 9223372036854775808.0; // 2^63
        if (std::trunc(number) == number && number >= -limit && number < limit) {
            return std::int64_t(number);
        }
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

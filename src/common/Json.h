#pragma once

#include "common/Error.h"

#include <QByteArray>
#include <QString>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace nerova {

// JSON on the wire and on disk: keys keep their order, integers keep all 64 bits.
using Json = nlohmann::ordered_json;

// A JSON document that does not decode into the expected value. `path` names the offending key
// or element, for example fingerprints[0].rules[1].conditions[0].type.
class JsonDecodeError final : public Error {
public:
    enum class Case { dataCorrupted, keyNotFound, valueNotFound, typeMismatch };

    JsonDecodeError(Case errorCase, QString path, QString problem)
        : case_(errorCase), path_(std::move(path)), problem_(std::move(problem))
    {}

    Case errorCase() const { return case_; }
    const QString& path() const { return path_; }
    const QString& problem() const { return problem_; }
    // "path: problem", or just the problem for the document as a whole.
    QString description() const override;

private:
    Case case_;
    QString path_;
    QString problem_;
};

QString fromStdString(const std::string& text);
std::string toStdString(const QString& text);

// Documents nested deeper than this are refused while parsing: no document of ours comes close,
// and the JSON library copies deep values recursively, so a hostile one would exhaust the stack.
inline constexpr int maxJsonDepth = 512;

// Parses a whole document; malformed or too deeply nested JSON raises JsonDecodeError (dataCorrupted).
Json parseJson(const QByteArray& bytes);

// A short description of a JSON value for error messages: its type and, for scalars, the value.
QString describeJsonValue(const Json& value);

// Reads the members of one JSON object strictly: a required key must be present, not null and
// of the expected type; anything else raises JsonDecodeError naming the key path.
class JsonObjectReader {
public:
    JsonObjectReader(const Json& value, QString path);

    const QString& path() const { return path_; }
    QString pathOf(const char* key) const;

    bool contains(const char* key) const;
    // The value under `key`, which must be present and not null.
    const Json& required(const char* key) const;

    QString string(const char* key) const;
    // Absent when the key is missing or null.
    std::optional<QString> optionalString(const char* key) const;
    qint64 int64(const char* key) const;
    bool boolean(const char* key) const;

    // Decodes each element of the array under `key` with `decode(element, elementPath)`.
    template <typename Decode>
    auto array(const char* key, Decode decode) const
    {
        const Json& value = required(key);
        const QString keyPath = pathOf(key);
        if (!value.is_array()) {
            throw JsonDecodeError(JsonDecodeError::Case::typeMismatch, keyPath,
                                  QStringLiteral("expected an array, found ") + describeJsonValue(value));
        }
        std::vector<decltype(decode(value, keyPath))> result;
        result.reserve(value.size());
        for (std::size_t i = 0; i < value.size(); ++i) {
            result.push_back(decode(value[i], keyPath + u'[' + QString::number(i) + u']'));
        }
        return result;
    }

private:
    const Json& object_;
    QString path_;
};

// Fails with typeMismatch unless `value` is a string; `path` names it.
QString jsonString(const Json& value, const QString& path);

} // namespace nerova

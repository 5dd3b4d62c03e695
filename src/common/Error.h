#pragma once

#include <QByteArray>
#include <QString>

#include <exception>
#include <optional>
#include <type_traits>
#include <variant>

namespace nerova {

// Base of every typed error of the agent. Each error family derives from it, carries a case
// and its payload, and describes itself the way a developer would write the value, for example
// invalidCIDR("33").
class Error : public std::exception {
public:
    virtual QString description() const = 0;
    const char* what() const noexcept override;

private:
    mutable QByteArray what_;
};

// "name(\"payload\")": the case name followed by the payload as a quoted, escaped text.
QString describeCase(const QString& caseName, const QString& payload);

// The description of any exception: Error::description() for our own, what() for the rest.
QString describeException(const std::exception& error);

// The name at `index` in a comma-separated list of names: "a, b, c" and 1 give "b".
QString nameAt(const char* names, int index);

// Declares an error family's cases, in a struct of their own: the enumeration `Case` and the
// cases' names as written.
#define NEROVA_ERROR_CASES(...)                                                                                        \
    enum class Case { __VA_ARGS__ };                                                                                   \
    static constexpr const char* caseNames = #__VA_ARGS__

// An error family: one of the cases that `Cases` declares (NEROVA_ERROR_CASES), with a payload.
// The description reads like invalidCIDR("33"): the case's name, then the quoted text payload; the
// name alone when there is no payload (std::monostate) or an optional one is absent. Families
// with other payloads describe themselves.
template <typename Cases, typename Payload = QString>
class ErrorFamily : public Error {
public:
    using Case = typename Cases::Case;

    explicit ErrorFamily(Case errorCase, Payload payload = {}) : case_(errorCase), payload_(std::move(payload)) {}

    Case errorCase() const { return case_; }
    const Payload& payload() const { return payload_; }
    QString caseName() const { return nameAt(Cases::caseNames, int(case_)); }

    QString description() const override
    {
        if constexpr (std::is_same_v<Payload, QString>) {
            return describeCase(caseName(), payload_);
        } else if constexpr (std::is_same_v<Payload, std::optional<QString>>) {
            return payload_ ? describeCase(caseName(), *payload_) : caseName();
        } else {
            return caseName();
        }
    }

private:
    Case case_;
    Payload payload_;
};

} // namespace nerova

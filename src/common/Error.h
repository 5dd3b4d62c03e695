#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

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

} // namespace nerova

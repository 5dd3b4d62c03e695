#include "cli/FingerprintSummary.h"

#include "common/TerminalText.h"

namespace nerova {

namespace {

QString optionalText(const std::optional<QString>& value) { return value ? quoted(*value) : QStringLiteral("-"); }

void writeRule(QTextStream& out, const FingerprintRule& rule, int depth);

void writeCondition(QTextStream& out, const FingerprintCondition& condition, int depth)
{
    out << QString(depth * 2, u' ') << "- " << (condition.inverted ? "NOT " : "") << rawValue(condition.type);
    for (const FingerprintConditionArgument& argument : condition.arguments) {
        out << ' ' << printable(argument.name) << '=' << quoted(argument.value);
    }
    out << '\n';
    for (const FingerprintRule& rule : condition.rules) {
        writeRule(out, rule, depth + 1);
    }
}

void writeRule(QTextStream& out, const FingerprintRule& rule, int depth)
{
    out << QString(depth * 2, u' ') << "rule " << quoted(rule.name);
    if (rule.conditions.empty()) {
        out << " (no conditions: never holds)";
    }
    out << '\n';
    for (const FingerprintCondition& condition : rule.conditions) {
        writeCondition(out, condition, depth + 1);
    }
}

} // namespace

void writeFingerprintSummary(QTextStream& out, const FingerprintFile& file)
{
    out << "Fingerprint file version " << file.fingerprintVersion << ", created "
        << file.createdAt.toString(Qt::ISODateWithMs) << ", " << file.fingerprints.size()
        << (file.fingerprints.size() == 1 ? " fingerprint\n" : " fingerprints\n");
    for (const Fingerprint& fingerprint : file.fingerprints) {
        const LocationPoint& point = fingerprint.locationPoint;
        out << "\nfingerprint " << quoted(fingerprint.name) << " (id " << quoted(fingerprint.fingerprintId) << ")\n"
            << "  location " << quoted(point.locationId) << ", level " << optionalText(point.levelId) << ", zone "
            << optionalText(point.zoneId) << ", place " << optionalText(point.placeId) << '\n';
        if (fingerprint.rules.empty()) {
            out << "  (no rules: never matches)\n";
        }
        for (const FingerprintRule& rule : fingerprint.rules) {
            writeRule(out, rule, 1);
        }
    }
}

} // namespace nerova

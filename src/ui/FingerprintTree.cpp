#include "ui/FingerprintTree.h"

namespace nerova::fingerprinttree {

namespace {

QString argument(const FingerprintCondition& condition, const char* name)
{
    return condition.argument(QString::fromLatin1(name)).value_or(QStringLiteral("???"));
}

ItemNode conditionNode(const FingerprintCondition& condition)
{
    ItemNode node;
    node.columns = QStringList{conditionText(condition)};
    if (condition.type != FingerprintConditionType::or_) {
        node.columns << QStringLiteral("Inverted");
        node.checked = condition.inverted;
    }
    return node;
}

} // namespace

QString versionText(const FingerprintFile& file)
{
    return QStringLiteral("Fingerprint file version: %1").arg(file.fingerprintVersion);
}

QString locationText(const LocationPoint& point)
{
    return QStringList{point.locationId, point.levelId.value_or(QString()), point.zoneId.value_or(QString()),
                       point.placeId.value_or(QString())}
               .join(QLatin1Char(':')) +
           QLatin1Char(' ');
}

QString conditionText(const FingerprintCondition& condition)
{
    switch (condition.type) {
    case FingerprintConditionType::internalIp:
        return QStringLiteral("Internal IP in ") + argument(condition, "cidrRange");
    case FingerprintConditionType::externalIp:
        return QStringLiteral("External IP in ") + argument(condition, "cidrRange");
    case FingerprintConditionType::ping: return QStringLiteral("Ping ") + argument(condition, "address");
    case FingerprintConditionType::webContent:
        return QStringLiteral("Web content at ") + argument(condition, "url") + QStringLiteral(" contains ") +
               argument(condition, "match");
    case FingerprintConditionType::connection:
        return QStringLiteral("Content at ") + argument(condition, "hostport") + QStringLiteral(" contains ") +
               argument(condition, "match");
    case FingerprintConditionType::or_: return QStringLiteral("Or Condition");
    case FingerprintConditionType::gateway: {
        const std::optional<QString> address = condition.argument(u"address");
        return QStringLiteral("Gateway ") + argument(condition, "hardwareAddress") +
               (address ? QStringLiteral(" at ") + *address : QString());
    }
    case FingerprintConditionType::wireless: {
        QStringList given;
        for (const char16_t* name : {u"ssid", u"bssid"}) {
            if (const std::optional<QString> value = condition.argument(name)) {
                given.append(*value);
            }
        }
        return QStringLiteral("Wi-Fi ") + (given.isEmpty() ? QStringLiteral("???") : given.join(QStringLiteral(" / ")));
    }
    case FingerprintConditionType::dnsDomain: return QStringLiteral("DNS domain ") + argument(condition, "domain");
    case FingerprintConditionType::tunnel: return QStringLiteral("Through a tunnel");
    case FingerprintConditionType::peripheral: return QStringLiteral("Peripheral ") + argument(condition, "id");
    }
    return {};
}

std::vector<ItemNode> nodes(const FingerprintFile& file)
{
    std::vector<ItemNode> sections;
    for (const Fingerprint& fingerprint : file.fingerprints) {
        ItemNode section;
        section.columns = QStringList{
            QStringLiteral("name: %1\nLocation: %2").arg(fingerprint.name, locationText(fingerprint.locationPoint))};
        section.heading = true;
        for (const FingerprintRule& rule : fingerprint.rules) {
            ItemNode ruleNode;
            ruleNode.columns = QStringList{rule.name};
            for (const FingerprintCondition& condition : rule.conditions) {
                ruleNode.children.push_back(conditionNode(condition));
            }
            section.children.push_back(std::move(ruleNode));
        }
        sections.push_back(std::move(section));
    }
    return sections;
}

} // namespace nerova::fingerprinttree

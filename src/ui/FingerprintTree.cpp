#include "ui/FingerprintTree.h"

#include <QCoreApplication>

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
        node.columns << QCoreApplication::translate("FingerprintTree", "Inverted");
        node.checked = condition.inverted;
    }
    return node;
}

} // namespace

QString versionText(const FingerprintFile& file)
{
    return QCoreApplication::translate("FingerprintTree", "Fingerprint file version: %1").arg(file.fingerprintVersion);
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
        return QCoreApplication::translate("FingerprintTree", "Internal IP in %1")
            .arg(argument(condition, "cidrRange"));
    case FingerprintConditionType::externalIp:
        return QCoreApplication::translate("FingerprintTree", "External IP in %1")
            .arg(argument(condition, "cidrRange"));
    case FingerprintConditionType::ping:
        return QCoreApplication::translate("FingerprintTree", "Ping %1").arg(argument(condition, "address"));
    case FingerprintConditionType::webContent:
        return QCoreApplication::translate("FingerprintTree", "Web content at %1 contains %2")
            .arg(argument(condition, "url"), argument(condition, "match"));
    case FingerprintConditionType::connection:
        return QCoreApplication::translate("FingerprintTree", "Content at %1 contains %2")
            .arg(argument(condition, "hostport"), argument(condition, "match"));
    case FingerprintConditionType::or_: return QCoreApplication::translate("FingerprintTree", "Or Condition");
    case FingerprintConditionType::gateway: {
        const std::optional<QString> address = condition.argument(u"address");
        const QString hardwareAddress = argument(condition, "hardwareAddress");
        return address
                   ? QCoreApplication::translate("FingerprintTree", "Gateway %1 at %2").arg(hardwareAddress, *address)
                   : QCoreApplication::translate("FingerprintTree", "Gateway %1").arg(hardwareAddress);
    }
    case FingerprintConditionType::wireless: {
        QStringList given;
        for (const char16_t* name : {u"ssid", u"bssid"}) {
            if (const std::optional<QString> value = condition.argument(name)) {
                given.append(*value);
            }
        }
        return QCoreApplication::translate("FingerprintTree", "Wi-Fi %1")
            .arg(given.isEmpty() ? QStringLiteral("???") : given.join(QStringLiteral(" / ")));
    }
    case FingerprintConditionType::dnsDomain:
        return QCoreApplication::translate("FingerprintTree", "DNS domain %1").arg(argument(condition, "domain"));
    case FingerprintConditionType::tunnel: return QCoreApplication::translate("FingerprintTree", "Through a tunnel");
    case FingerprintConditionType::peripheral:
        return QCoreApplication::translate("FingerprintTree", "Peripheral %1").arg(argument(condition, "id"));
    }
    return {};
}

std::vector<ItemNode> nodes(const FingerprintFile& file)
{
    std::vector<ItemNode> sections;
    for (const Fingerprint& fingerprint : file.fingerprints) {
        ItemNode section;
        section.columns = QStringList{QCoreApplication::translate("FingerprintTree", "name: %1\nLocation: %2")
                                          .arg(fingerprint.name, locationText(fingerprint.locationPoint))};
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

#include "ui/PrivacyModel.h"

#include "agent/ReportingPolicy.h"
#include "common/Settings.h"
#include "service/PublicIPClient.h"

#include <QUrl>

#include <array>

namespace nerova {

namespace {

std::optional<QString> setting(const Settings& settings, const char* key)
{
    std::optional<QString> value = settings.managedSetting(QString::fromLatin1(key));
    if (value && value->trimmed().isEmpty()) {
        return std::nullopt;
    }
    return value;
}

// The host of `address`; empty when it names none.
QString hostOf(const QString& address) { return QUrl(address.trimmed(), QUrl::StrictMode).host(); }

QString pauseText(const std::optional<QString>& allowPause)
{
    if (!allowPause) {
        return PrivacyModel::tr("not allowed");
    }
    const QString value = allowPause->trimmed();
    if (value.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || value == u"1") {
        return PrivacyModel::tr("allowed");
    }
    if (value.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0 || value == u"0") {
        return PrivacyModel::tr("not allowed");
    }
    return *allowPause;
}

// The precision as set, in the user's language when it is one the agent knows; "place" when not set.
QString precisionText(const std::optional<QString>& value)
{
    const std::optional<ReportPrecision> precision =
        value ? parseReportPrecision(value->trimmed()) : std::optional(ReportPrecision::place);
    if (!precision) {
        return *value;
    }
    switch (*precision) {
    case ReportPrecision::location: return PrivacyModel::tr("location");
    case ReportPrecision::level: return PrivacyModel::tr("level");
    case ReportPrecision::zone: return PrivacyModel::tr("zone");
    case ReportPrecision::place: return PrivacyModel::tr("place");
    }
    return *value;
}

// A link to `text` when it is an http or https address with a host; empty otherwise.
QString linkTo(const QString& text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != u"http" && scheme != u"https") || url.host().isEmpty()) {
        return {};
    }
    return QStringLiteral("<a href=\"%1\">%2</a>")
        .arg(url.toString(QUrl::FullyEncoded).toHtmlEscaped(), text.trimmed().toHtmlEscaped());
}

std::vector<PrivacySection> sectionsFor(const PrivacyFacts& facts)
{
    const QString serviceHost = facts.agentEndpoint ? hostOf(*facts.agentEndpoint) : QString();
    const QString service = serviceHost.isEmpty()
                                ? PrivacyModel::tr("your company's presence service (its address is not set yet)")
                                : PrivacyModel::tr("your company's presence service at %1").arg(serviceHost);
    QString lookupHost = facts.publicIpEndpoint ? hostOf(*facts.publicIpEndpoint) : QString();
    if (lookupHost.isEmpty()) {
        lookupHost = PublicIPClient::defaultEndpoint().host();
    }
    return {
        {PrivacyModel::tr("What the agent reads on this computer"),
         PrivacyModel::tr(
             "To find out where you work, the agent reads the network this computer is connected to: its network "
             "interfaces and their hardware addresses, its IP addresses and its public address, the default "
             "gateways, the Wi-Fi network and the DNS domains. It also reads which monitors and USB devices are "
             "connected, whether the screen is locked and whether the mouse was clicked today, your user name, and "
             "this computer's name, model and serial number.")},
        {PrivacyModel::tr("What it sends, and where"),
         PrivacyModel::tr(
             "The agent sends its requests to one service, %1:\n"
             "\u2022 Registration, once: the agent's identifier and public key, your company's registration key, your "
             "user name, this computer's name and serial number and the agent's version; then a request that "
             "completes the registration.\n"
             "\u2022 Check-in, about once an hour: the agent's version and the version of its fingerprint file (your "
             "company's description of its locations).\n"
             "\u2022 Presence report, when your location changes and once a day: who you are (the agent's "
             "identifier, which the service knows from the registration), the matched location and the time.\n"
             "\u2022 Download of the fingerprint file, from the address the service gives at check-in.\n"
             "The Activity tab lists every request sent to the service. Two other kinds of request carry nothing "
             "about you: the lookup of this computer's public address at %2, and the checks that the fingerprint "
             "file asks for (ping, connection and web checks of the hosts it names).")
             .arg(service, lookupHost)},
        {PrivacyModel::tr("What never leaves this computer"),
         PrivacyModel::tr("The network snapshot (addresses, gateways, Wi-Fi networks, DNS domains, monitors and USB "
                          "devices), the evidence a location is decided on, and the results of the checks. The agent "
                          "decides on this computer and sends only the matched location.")},
    };
}

} // namespace

PrivacyFacts PrivacyFacts::read(const Settings& settings, const ReportingPolicy& policy)
{
    // The rules as the agent applies them: a value it cannot use counts as it counts for the agent.
    std::optional<QString> hours = setting(settings, settingskey::reportingHours);
    if (hours && !policy.hours()) {
        hours = PrivacyModel::tr("any time (the policy's value cannot be used)");
    }
    static constexpr std::array precisions{"location", "level", "zone", "place"};
    return {setting(settings, settingskey::agentEndpoint),
            setting(settings, settingskey::publicIpEndpoint),
            hours,
            policy.pauseAllowed() ? std::optional(QStringLiteral("true")) : std::nullopt,
            QString::fromLatin1(precisions.at(std::size_t(policy.precision()))),
            setting(settings, settingskey::privacyNoticeUrl)};
}

PrivacyModel::PrivacyModel(std::function<PrivacyFacts()> facts, QObject* parent)
    : QObject(parent), source_(std::move(facts))
{
    refresh();
}

void PrivacyModel::refresh()
{
    const PrivacyFacts facts = source_();
    sections_ = sectionsFor(facts);
    policy_ = {
        {PrivacyModel::tr("Reporting hours:"), facts.reportingHours.value_or(PrivacyModel::tr("any time")), {}},
        {PrivacyModel::tr("Pause:"), pauseText(facts.allowPause), {}},
        {PrivacyModel::tr("Report precision:"), precisionText(facts.reportPrecision), {}},
    };
    noticeText_ = facts.privacyNoticeUrl.value_or(QString());
    linkMarkup_ = linkTo(noticeText_);
    emit changed();
}

} // namespace nerova

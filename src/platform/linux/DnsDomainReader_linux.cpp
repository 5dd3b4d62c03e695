#include "platform/linux/DnsDomainReader_linux.h"

#include "network/NetworkMonitorLogging.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QFile>

#include <algorithm>
#include <optional>

namespace nerova {

namespace {

constexpr int callTimeoutMs = 1000;
constexpr qint64 resolvConfLimit = 64 * 1024; // far beyond any real file

// Adds `domain` lower-cased and without its trailing dots, unless it is empty (the root) or
// already listed.
void addDomain(std::vector<QString>& domains, QString domain)
{
    domain = domain.trimmed().toLower();
    while (domain.endsWith(u'.')) {
        domain.chop(1);
    }
    if (!domain.isEmpty() && std::find(domains.begin(), domains.end(), domain) == domains.end()) {
        domains.push_back(std::move(domain));
    }
}

// The domains of resolved's Domains property, a(isb): (link index, domain, route-only) for the
// global settings (index 0) and every link. Nothing for an error or another answer.
std::optional<std::vector<QString>> resolvedDomains(const QDBusMessage& reply, QString& whyNot)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != QLatin1String("v")) {
        whyNot = reply.type() == QDBusMessage::ErrorMessage
                     ? reply.errorName() + QStringLiteral(": ") + reply.errorMessage()
                     : QStringLiteral("an answer of type ") + reply.signature();
        return std::nullopt;
    }
    const QVariant value = reply.arguments().at(0).value<QDBusVariant>().variant();
    if (value.metaType() != QMetaType::fromType<QDBusArgument>() ||
        value.value<QDBusArgument>().currentSignature() != QLatin1String("a(isb)")) {
        whyNot = QStringLiteral("Domains of another type");
        return std::nullopt;
    }
    const auto argument = value.value<QDBusArgument>();
    std::vector<QString> domains;
    argument.beginArray();
    while (!argument.atEnd()) {
        int link = 0;
        QString domain;
        bool routeOnly = false;
        argument.beginStructure();
        argument >> link >> domain >> routeOnly;
        argument.endStructure();
        addDomain(domains, domain);
    }
    argument.endArray();
    return domains;
}

// Every word after `search` or `domain` in the file, in file order. Comments start with # or ;.
std::vector<QString> resolvConfDomains(const QByteArray& text)
{
    std::vector<QString> domains;
    for (QByteArray line : text.split('\n')) {
        for (const char mark : {'#', ';'}) {
            if (const qsizetype at = line.indexOf(mark); at >= 0) {
                line.truncate(at);
            }
        }
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() < 2 || (words.front() != "search" && words.front() != "domain")) {
            continue;
        }
        for (qsizetype i = 1; i < words.size(); ++i) {
            addDomain(domains, QString::fromUtf8(words.at(i)));
        }
    }
    return domains;
}

} // namespace

struct DnsDomainReader::State {
    QDBusConnection bus;
    QString resolvConf;
    bool resolvedMissingSaid = false;
    bool fileMissingSaid = false;
};

DnsDomainReader::DnsDomainReader(QDBusConnection bus, QString resolvConf)
    : state_(std::make_shared<State>(State{std::move(bus), std::move(resolvConf)}))
{}

QCoro::Task<std::vector<QString>> DnsDomainReader::read() const
{
    const std::shared_ptr<State> state = state_;
    QDBusMessage get = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.resolve1"), QStringLiteral("/org/freedesktop/resolve1"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.resolve1.Manager") << QStringLiteral("Domains");
    const QDBusPendingCall pending = state->bus.asyncCall(get, callTimeoutMs);
    const QDBusMessage reply = co_await pending;
    QString whyNot;
    if (std::optional<std::vector<QString>> domains = resolvedDomains(reply, whyNot)) {
        state->resolvedMissingSaid = false;
        co_return std::move(*domains);
    }
    if (!state->resolvedMissingSaid) {
        state->resolvedMissingSaid = true;
        qCInfo(lcNetworkMonitor, "DNS domains from %s: systemd-resolved gives none (%s)",
               qUtf8Printable(state->resolvConf), qUtf8Printable(whyNot));
    }
    QFile file(state->resolvConf);
    if (!file.open(QIODevice::ReadOnly)) {
        if (!state->fileMissingSaid) {
            state->fileMissingSaid = true;
            qCWarning(lcNetworkMonitor, "No DNS domains: %s cannot be read (%s)", qUtf8Printable(state->resolvConf),
                      qUtf8Printable(file.errorString()));
        }
        co_return std::vector<QString>{};
    }
    state->fileMissingSaid = false;
    QByteArray text = file.read(resolvConfLimit);
    if (text.size() == resolvConfLimit && !file.atEnd()) {
        text.truncate(text.lastIndexOf('\n') + 1); // no half line
    }
    co_return resolvConfDomains(text);
}

} // namespace nerova

#include "ui/FirstLaunchNotice.h"

#include "common/BuildInfo.h"
#include "common/Settings.h"
#include "ui/ViewLogging.h"

#include <QCoro/QCoroDBusPendingCall>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QPointer>

namespace nerova {

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");

// Clicking the notification ("default") or its button ("show") shows the details.
const QString clickAction = QStringLiteral("default");
const QString showAction = QStringLiteral("show");

} // namespace

FirstLaunchNotice::FirstLaunchNotice(Settings& settings, QDBusConnection bus, std::function<void()> showDetails,
                                     QObject* parent)
    : QObject(parent), settings_(settings), bus_(std::move(bus)), showDetails_(std::move(showDetails))
{}

QCoro::Task<void> FirstLaunchNotice::show()
{
    const QString shownKey = QString::fromLatin1(settingskey::privacyNoticeShown);
    if (settings_.flag(shownKey)) {
        co_return;
    }
    if (!bus_.isConnected()) {
        qCWarning(lcView, "The privacy notice was not shown: there is no session bus");
        co_return;
    }
    QDBusMessage notify = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    const QString details = tr("Show details");
    notify << QStringLiteral("Nerova Agent") << 0u << QString::fromLatin1(buildinfo::identifier)
           << tr("Nerova Agent reports your work location")
           << tr("The agent reports your work location to your company's presence service. The Activity "
                 "and Privacy tabs of its window show what it sends.")
           << QStringList{clickAction, details, showAction, details}
           << QVariantMap{{QStringLiteral("desktop-entry"), QString::fromLatin1(buildinfo::identifier)}} << -1;
    listen(true); // before the answer, so that no action of the new notification is missed
    const QPointer<FirstLaunchNotice> self(this);
    const QDBusPendingCall pending = bus_.asyncCall(notify, callTimeoutMs);
    const QDBusMessage reply = co_await pending;
    if (!self) {
        co_return;
    }
    const QList<QVariant> answer = reply.arguments();
    if (reply.type() != QDBusMessage::ReplyMessage || answer.size() != 1 ||
        answer.constFirst().metaType().id() != QMetaType::UInt) {
        listen(false);
        qCWarning(lcView, "The privacy notice was not shown, no notification server took it: %s",
                  qUtf8Printable(reply.type() == QDBusMessage::ErrorMessage
                                     ? reply.errorName() + u' ' + reply.errorMessage()
                                     : QStringLiteral("unexpected answer")));
        co_return;
    }
    id_ = answer.constFirst().toUInt();
    settings_.write(shownKey, true); // a failure is logged; the notice comes again at the next launch
}

void FirstLaunchNotice::listen(bool on)
{
    const auto change = [&](const char* signal, const char* slot) {
        if (on) {
            bus_.connect(service, path, interface, QLatin1String(signal), this, slot);
        } else {
            bus_.disconnect(service, path, interface, QLatin1String(signal), this, slot);
        }
    };
    change("ActionInvoked", SLOT(onActionInvoked(uint, QString)));
    change("NotificationClosed", SLOT(onNotificationClosed(uint, uint)));
}

void FirstLaunchNotice::onActionInvoked(uint id, const QString& action)
{
    if (id_ != 0 && id == id_ && (action == clickAction || action == showAction)) {
        showDetails_();
    }
}

void FirstLaunchNotice::onNotificationClosed(uint id, uint)
{
    if (id_ != 0 && id == id_) {
        id_ = 0;
        listen(false);
    }
}

} // namespace nerova

#include "ui/LaunchSequence.h"

#include "common/BuildInfo.h"

#include <QLoggingCategory>
#include <QWidget>

namespace nerova {

Q_LOGGING_CATEGORY(lcAppDelegate, "nerova.AppDelegate", QtInfoMsg)

KeyPairSource KeyPairSource::system()
{
    return {[](const QString& tag) { return KeyManager::findKeyPair(tag); },
            [](QString tag) { return KeyManager::createKeyPairInBackground(std::move(tag)); }};
}

QString launchKeyTag(const QString& identifier)
{
    return identifier.isEmpty() ? QStringLiteral("app.nerova.NerovaAgent") : identifier;
}

QCoro::Task<void> runLaunchSequence(QWidget& window, KeyPairSource keys, LoginItem& loginItem)
{
    const QString tag = launchKeyTag(QString::fromLatin1(buildinfo::identifier));
    window.hide();

    std::optional<QString> keyFailure;
    try {
        if (!keys.find(tag)) {
            QCoro::Task<KeyPair> creating = keys.create(tag);
            co_await creating; // the pair is not kept: enrolment makes its own
        }
    } catch (const std::exception& error) {
        keyFailure = describeException(error);
    }
    if (keyFailure) {
        qCCritical(lcAppDelegate, "Failed to fetch or generate key pair: %s", qUtf8Printable(*keyFailure));
    }

    try {
        loginItem.registerItem();
        qCInfo(lcAppDelegate, "Login item registered successfully.");
    } catch (const std::exception& error) {
        qCCritical(lcAppDelegate, "Failed to register login item: %s", qUtf8Printable(describeException(error)));
    }
    if (loginItem.status() == LoginItem::Status::enabled) {
        qCInfo(lcAppDelegate, "Login item is enabled.");
    } else {
        qCCritical(lcAppDelegate, "Login item is disabled.");
    }
}

} // namespace nerova

#pragma once

#include "service/KeyManager.h"
#include "ui/LoginItem.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <functional>
#include <optional>

class QWidget;

namespace nerova {

// The key store operations the launch uses; the application passes KeyManager's.
struct KeyPairSource {
    std::function<std::optional<KeyPair>(const QString& tag)> find;
    std::function<QCoro::Task<KeyPair>(QString tag)> create;

    static KeyPairSource system();
};

// The tag of the launch's key pair: the application's identifier, or "app.nerova.NerovaAgent"
// when it has none.
QString launchKeyTag(const QString& identifier);

// The launch sequence: hides `window`, makes sure a key pair exists, registers the login item
// and logs its state. Failures are logged and the launch goes on.
QCoro::Task<void> runLaunchSequence(QWidget& window, KeyPairSource keys, LoginItem& loginItem);

} // namespace nerova

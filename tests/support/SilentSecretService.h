#pragma once

#include <QDBusMessage>
#include <QDBusVirtualObject>

namespace nerova::test {

// Takes every call to the Secret Service's name and never answers, like a keyring whose unlock
// prompt nobody sees. Register it under "/" with QDBusConnection::SubPath on a connection that owns
// "org.freedesktop.secrets".
class SilentSecretService final : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
    {
        message.setDelayedReply(true);
        return true;
    }
};

} // namespace nerova::test

#include "common/Settings.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSettings>
#include <QStandardPaths>
#include <QUuid>

namespace nerova {

namespace {

// Long enough for another process to finish writing the identifier; short enough not to hang a caller.
constexpr int identifierLockTimeoutMs = 10'000;

bool isWholeNumber(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: return true;
    default: return false;
    }
}

} // namespace

Settings::Settings(QString userFile, QString managedDirectory, Logger logger, uid_t managedOwner)
    : userFile_(std::move(userFile)), managed_(std::move(managedDirectory), logger, managedOwner),
      logger_(std::move(logger))
{
}

QString Settings::defaultUserFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Nerova/NerovaAgent.conf");
}

QString Settings::defaultManagedDirectory() { return QStringLiteral("/etc/nerova/policies/managed"); }

std::optional<QString> Settings::managedSetting(const QString& key) const
{
    if (auto managed = managedText(key)) {
        return managed;
    }
    return text(key);
}

std::optional<QString> Settings::managedText(const QString& key) const
{
    const Json policy = managed_.read();
    const auto it = policy.find(toStdString(key));
    if (it == policy.end()) {
        return std::nullopt;
    }
    if (!it->is_string()) {
        logger_.error("Managed setting %s is %s, not text: the user's setting applies", key, describeJsonValue(*it));
        return std::nullopt;
    }
    return fromStdString(it->get_ref<const std::string&>());
}

QString Settings::agentIdentifier()
{
    const QString key = QString::fromLatin1(settingskey::agentID);
    if (auto stored = text(key); stored && !stored->isEmpty()) {
        return *stored;
    }
    // Check and store under one lock, so that racing callers all return the identifier that won.
    QDir().mkpath(QFileInfo(userFile_).absolutePath());
    QLockFile lock(userFile_ + QStringLiteral(".agentID.lock"));
    if (!lock.tryLock(identifierLockTimeoutMs)) {
        const char* reason = lock.error() == QLockFile::LockFailedError  ? "held by another process"
                             : lock.error() == QLockFile::PermissionError ? "permission denied"
                                                                           : "unknown error";
        logger_.error("Cannot lock %s (%s): generating the agent identifier without the lock", lock.fileName(), reason);
    }
    if (auto stored = text(key); stored && !stored->isEmpty()) {
        return *stored;
    }
    const QString identifier = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    store(key, identifier);
    return identifier;
}

bool Settings::contains(const QString& key) const { return value(key).has_value(); }

std::optional<QString> Settings::text(const QString& key) const
{
    const auto stored = value(key);
    if (!stored) {
        return std::nullopt;
    }
    // In the file every value is text; values written by this process may still carry their type.
    if (stored->typeId() == QMetaType::QString || isWholeNumber(*stored) || stored->typeId() == QMetaType::Double) {
        return stored->toString();
    }
    if (stored->typeId() == QMetaType::Bool) {
        return stored->toBool() ? QStringLiteral("true") : QStringLiteral("false");
    }
    return std::nullopt;
}

bool Settings::flag(const QString& key) const
{
    const auto stored = value(key);
    if (!stored) {
        return false;
    }
    if (stored->typeId() == QMetaType::Bool) {
        return stored->toBool();
    }
    if (isWholeNumber(*stored)) {
        return stored->toLongLong() != 0;
    }
    if (stored->typeId() == QMetaType::QString) {
        const QString text = stored->toString().trimmed();
        return text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || text == u"1";
    }
    return false;
}

qint64 Settings::integer(const QString& key) const
{
    const auto stored = value(key);
    if (!stored) {
        return 0;
    }
    if (isWholeNumber(*stored)) {
        return stored->toLongLong();
    }
    if (stored->typeId() == QMetaType::QString) {
        bool ok = false;
        const qint64 number = stored->toString().trimmed().toLongLong(&ok);
        return ok ? number : 0;
    }
    return 0;
}

void Settings::setText(const QString& key, const QString& value) { store(key, QVariant(value)); }

void Settings::setFlag(const QString& key, bool value) { store(key, QVariant(value)); }

void Settings::setInteger(const QString& key, qint64 value) { store(key, QVariant(value)); }

void Settings::remove(const QString& key) { store(key, std::nullopt); }

bool Settings::write(const QString& key, const QVariant& value) { return store(key, value); }

bool Settings::erase(const QString& key) { return store(key, std::nullopt); }

std::optional<QVariant> Settings::value(const QString& key) const
{
    const QSettings settings(userFile_, QSettings::IniFormat);
    if (!settings.contains(key)) {
        return std::nullopt;
    }
    return settings.value(key);
}

bool Settings::store(const QString& key, const std::optional<QVariant>& value)
{
    QSettings settings(userFile_, QSettings::IniFormat);
    settings.setAtomicSyncRequired(true);
    if (value) {
        settings.setValue(key, *value);
    } else {
        settings.remove(key);
    }
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        logger_.error("Cannot write the setting %s to %s", key, userFile_);
        return false;
    }
    return true;
}

} // namespace nerova

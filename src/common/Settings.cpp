#include "common/Settings.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <QUuid>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nerova {

Q_LOGGING_CATEGORY(lcSettings, "nerova.Settings", QtInfoMsg)

namespace {

// How long a write, a batch or the check of the file waits for another process to finish with
// it. Single reads never wait: the agent reads on its event loop.
constexpr int lockTimeoutMs = 250;
constexpr int lockPollMs = 10;

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

// In the file every value is text; values written by this process may still carry their type.
std::optional<QString> textOf(const std::optional<QVariant>& stored)
{
    if (!stored) {
        return std::nullopt;
    }
    if (stored->typeId() == QMetaType::QString || isWholeNumber(*stored) || stored->typeId() == QMetaType::Double) {
        return stored->toString();
    }
    if (stored->typeId() == QMetaType::Bool) {
        return stored->toBool() ? QStringLiteral("true") : QStringLiteral("false");
    }
    return std::nullopt;
}

// Whether `path` exists as something other than a regular file: a symbolic link, a FIFO, a device,
// a directory. Checked without opening it: opening a FIFO would block, and a symbolic link would
// be written through.
bool isIrregular(const QString& path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && !S_ISREG(status.st_mode);
}

// Whether `bytes` read as a settings file: every line empty, a comment, a section header or a key
// with its value. The settings library tells of a damaged file only on the first read of it (later
// reads reuse what it parsed), so the text is judged here too, at least as strictly.
bool isSettingsText(const QByteArray& bytes)
{
    if (bytes.contains('\0')) {
        return false;
    }
    bool continued = false; // the line before ended in a backslash: this one goes on with its value
    for (const QByteArray& line : bytes.split('\n')) {
        const QByteArray text = line.trimmed();
        if (!continued && !text.isEmpty() && !text.startsWith(';') &&
            !(text.startsWith('[') ? text.contains(']') : text.contains('='))) {
            return false;
        }
        continued = text.endsWith('\\');
    }
    return true;
}

} // namespace

// An advisory lock (flock) on a file beside the settings file: shared for reading, exclusive for
// writing, between all threads and processes that use the settings. QSettings keeps a copy of
// the file per process and trusts it while the file's size and time are unchanged; a read that
// overlaps the replacement of the file can pair the new file's size and time with the old
// contents, and then serve and write back stale values. Under this lock reads and writes never
// overlap. The lock file is never removed; the kernel drops a lock when its holder exits.
class Settings::FileLock {
public:
    // Tries once, or for `timeoutMs`. While another process holds the lock the caller neither reads
    // nor writes the file (`lockedOut`); a lock file that cannot be used at all (a read-only folder,
    // a lock file of another user) is said once, and the caller goes on without the lock.
    FileLock(const Settings& settings, bool exclusive, int timeoutMs)
    {
        const QString path = settings.userFile_ + QStringLiteral(".agent-lock");
        fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        const QDeadlineTimer deadline(timeoutMs);
        int error = fd_ < 0 ? errno : 0;
        while (error == 0 && ::flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || deadline.hasExpired()) {
                error = errno;
                break;
            }
            QThread::msleep(lockPollMs);
        }
        lockedOut_ = error == EWOULDBLOCK;
        if (error == 0) {
            settings.lockProblem_.reset();
            return;
        }
        const QString reason = error == EWOULDBLOCK ? QStringLiteral("another process holds the lock")
                                                    : QString::fromLocal8Bit(std::strerror(error));
        // Said once while the lock stays out of reach, not once per read.
        if (settings.lockProblem_ != reason) {
            qCCritical(lcSettings, "Cannot lock %s: %s", qUtf8Printable(path), qUtf8Printable(reason));
        }
        settings.lockProblem_ = reason;
    }
    ~FileLock()
    {
        if (fd_ >= 0) {
            ::close(fd_); // releases the lock
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool lockedOut() const { return lockedOut_; }

private:
    int fd_ = -1;
    bool lockedOut_ = false;
};

Settings::Batch::Batch(Settings& settings, bool exclusive) : settings_(settings)
{
    const QFileInfo file(settings.userFile_);
    if (exclusive) {
        QDir().mkpath(file.absolutePath());
    }
    if (file.absoluteDir().exists()) { // else there is nothing to read, and no place for the lock file
        lock_ = std::make_unique<FileLock>(settings, exclusive, lockTimeoutMs);
    }
    settings_.batchLock_ = lock_.get();
    settings_.inBatch_ = true;
}

Settings::Batch::~Batch()
{
    settings_.inBatch_ = false;
    settings_.batchLock_ = nullptr;
}

std::unique_ptr<Settings::FileLock> Settings::lockFor(bool exclusive, int timeoutMs) const
{
    return inBatch_ ? nullptr : std::make_unique<FileLock>(*this, exclusive, timeoutMs);
}

bool Settings::isLockedOut(const std::unique_ptr<FileLock>& lock) const
{
    const FileLock* used = lock ? lock.get() : batchLock_;
    return used && used->lockedOut();
}

std::optional<QString> Settings::fileProblem() const
{
    if (!isIrregular(userFile_) && !QFileInfo::exists(userFile_)) {
        return std::nullopt; // nothing stored yet; no lock file either
    }
    const auto lock = lockFor(false, 0);
    if (isLockedOut(lock)) {
        return userFile_ + QStringLiteral(" cannot be locked: ") + *lockProblem_;
    }
    return problemLocked();
}

std::optional<QString> Settings::problemLocked() const
{
    if (isIrregular(userFile_)) {
        return userFile_ + QStringLiteral(" is not a regular file");
    }
    QFile file(userFile_);
    if (!file.exists()) {
        return std::nullopt;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return userFile_ + QStringLiteral(": ") + file.errorString();
    }
    if (!isSettingsText(file.readAll()) || QSettings(userFile_, QSettings::IniFormat).status() != QSettings::NoError) {
        return userFile_ + QStringLiteral(" is not a settings file");
    }
    return std::nullopt;
}

Settings::Settings(QString userFile, QString managedDirectory, uid_t managedOwner)
    : userFile_(std::move(userFile)), managed_(std::move(managedDirectory), managedOwner)
{}

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
    const SettingKey* known = findSettingKey(key);
    if (known && known->managedOnly) {
        return std::nullopt; // the user's value does not count
    }
    return text(key);
}

std::optional<QString> Settings::managedText(const QString& key) const
{
    const SettingKey* known = findSettingKey(key);
    const std::optional<Json> value = managedValue(key);
    if (!value) {
        return std::nullopt;
    }
    const char* fallback = known->managedOnly ? "the default applies" : "the user's setting applies";
    if (known->kind == SettingKind::flag && value->is_boolean()) {
        return value->get<bool>() ? QStringLiteral("true") : QStringLiteral("false");
    }
    if (!value->is_string()) {
        const QString described = describeJsonValue(*value);
        reportManagedProblem(
            key + u'\0' + described,
            QStringLiteral("Managed setting %1 is %2, not text: %3").arg(key, described, QLatin1String(fallback)));
        return std::nullopt;
    }
    const QString text = fromStdString(value->get_ref<const std::string&>());
    if (text.isEmpty()) {
        // An empty value would hide the user's setting and mean nothing itself.
        reportManagedProblem(key + u'\0',
                             QStringLiteral("Managed setting %1 is empty: %2").arg(key, QLatin1String(fallback)));
        return std::nullopt;
    }
    return text;
}

std::optional<Json> Settings::managedValue(const QString& key) const
{
    const SettingKey* known = findSettingKey(key);
    if (!known || !known->managed) {
        return std::nullopt;
    }
    const Json policy = managed_.read();
    const auto it = policy.find(toStdString(key));
    if (it == policy.end()) {
        return std::nullopt;
    }
    return *it;
}

void Settings::reportManagedProblem(const QString& problem, const QString& line) const
{
    if (managed_.isNewProblem(problem)) {
        qCCritical(lcSettings, "%s", qUtf8Printable(line));
    }
}

QString Settings::agentIdentifier()
{
    const QString key = QString::fromLatin1(settingskey::agentID);
    if (auto stored = text(key); stored && !stored->isEmpty()) {
        return *stored;
    }
    // Check and store under one exclusive lock, so that racing callers all return the identifier
    // that won.
    QDir().mkpath(QFileInfo(userFile_).absolutePath());
    const auto lock = lockFor(true, lockTimeoutMs);
    if (isLockedOut(lock)) {
        return QString(); // the stored identifier could not be read; none is stored blindly
    }
    if (auto stored = textOf(readLocked(key)); stored && !stored->isEmpty()) {
        return *stored;
    }
    const QString identifier = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    storeLocked(key, identifier);
    return identifier;
}

bool Settings::contains(const QString& key) const { return value(key).has_value(); }

std::optional<QString> Settings::text(const QString& key) const { return textOf(value(key)); }

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

void Settings::setText(const QString& key, const QString& value) { write(key, QVariant(value)); }

void Settings::setFlag(const QString& key, bool value) { write(key, QVariant(value)); }

void Settings::setInteger(const QString& key, qint64 value) { write(key, QVariant(value)); }

void Settings::remove(const QString& key) { erase(key); }

bool Settings::write(const QString& key, const QVariant& value)
{
    QDir().mkpath(QFileInfo(userFile_).absolutePath());
    const auto lock = lockFor(true, lockTimeoutMs);
    if (isLockedOut(lock)) {
        qCCritical(lcSettings, "Cannot write the setting %s: %s", qUtf8Printable(key), qUtf8Printable(*lockProblem_));
        return false;
    }
    return storeLocked(key, value);
}

bool Settings::erase(const QString& key)
{
    if (!QFileInfo::exists(userFile_)) {
        return true;
    }
    const auto lock = lockFor(true, lockTimeoutMs);
    if (isLockedOut(lock)) {
        qCCritical(lcSettings, "Cannot write the setting %s: %s", qUtf8Printable(key), qUtf8Printable(*lockProblem_));
        return false;
    }
    return storeLocked(key, std::nullopt);
}

std::optional<QVariant> Settings::value(const QString& key) const
{
    if (!QFileInfo::exists(userFile_)) {
        return std::nullopt; // nothing stored yet; no lock file either
    }
    const auto lock = lockFor(false, 0);
    if (isLockedOut(lock)) {
        // What was read last under the lock: reading now could pair another process's half-done
        // replacement of the file with the cached contents of the old one.
        return lastRead_.value(key);
    }
    std::optional<QVariant> found = readLocked(key);
    lastRead_.insert(key, found);
    return found;
}

std::optional<QVariant> Settings::readLocked(const QString& key) const
{
    if (isIrregular(userFile_)) {
        return std::nullopt;
    }
    const QSettings settings(userFile_, QSettings::IniFormat);
    if (!settings.contains(key)) {
        return std::nullopt;
    }
    return settings.value(key);
}

bool Settings::storeLocked(const QString& key, const std::optional<QVariant>& value)
{
    // A damaged file is left for the user to mend: writing would replace it with what could be
    // parsed from it.
    if (const std::optional<QString> problem = problemLocked()) {
        qCCritical(lcSettings, "Cannot write the setting %s: %s", qUtf8Printable(key), qUtf8Printable(*problem));
        return false;
    }
    QSettings settings(userFile_, QSettings::IniFormat);
    settings.setAtomicSyncRequired(true);
    if (value) {
        settings.setValue(key, *value);
    } else {
        settings.remove(key);
    }
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qCCritical(lcSettings, "Cannot write the setting %s to %s", qUtf8Printable(key), qUtf8Printable(userFile_));
        return false;
    }
    lastRead_.insert(key, value); // what a read finds while another process holds the lock
    return true;
}

} // namespace nerova

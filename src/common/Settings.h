#pragma once

#include "common/ManagedConfiguration.h"
#include "common/SettingKey.h"

#include <QHash>
#include <QLoggingCategory>
#include <QString>
#include <QVariant>

#include <memory>
#include <optional>

namespace nerova {

// The settings store and the managed configuration log under "Settings".
Q_DECLARE_LOGGING_CATEGORY(lcSettings)

// The agent's persistent configuration: the user's settings file (INI) and, above it, the
// administrator's managed configuration. Every read goes to the files at the moment of use, under
// a shared lock of the file taken without waiting; while another process holds the lock, a read
// gets what was read last under it (nothing for a key never read), and the problem is logged once.
class Settings {
public:
    // `userFile`: the per-user settings file; `managedDirectory`: the policy directory. Tests pass
    // temporary paths, and `managedOwner` when they cannot create root-owned files.
    Settings(QString userFile, QString managedDirectory, uid_t managedOwner = 0);

    static QString defaultUserFile();         // $XDG_CONFIG_HOME/Nerova/NerovaAgent.conf
    static QString defaultManagedDirectory(); // /etc/nerova/policies/managed

    const QString& userFile() const { return userFile_; }
    const QString& managedDirectory() const { return managed_.directory(); }

    // The managed text under `key` when there is one, else the user's value as text (a stored
    // number counts as its decimal text) unless the key is managed only; absent when neither exists.
    std::optional<QString> managedSetting(const QString& key) const;
    // The managed value alone, for the keys that the settings table marks managed; a value that is
    // not text (nor a JSON Boolean for a flag) is ignored with an error line (once, until a policy
    // file changes). For the keys the table marks managed only, managedSetting gives this too: the
    // user's value is ignored.
    std::optional<QString> managedText(const QString& key) const;
    // The managed value as the policy files hold it, for the keys the table marks managed.
    std::optional<Json> managedValue(const QString& key) const;
    // Logs the error `line` once for `problem`, until a policy file changes.
    void reportManagedProblem(const QString& problem, const QString& line) const;

    // The stored "agentID", or a new lower-case version-4 UUID stored once. Generation holds a
    // lock file beside the settings file, so concurrent callers, in this process or in others of
    // the same user, all get the one identifier that was stored.
    QString agentIdentifier();

    // Plain reads and writes of the user's settings.
    bool contains(const QString& key) const;
    std::optional<QString> text(const QString& key) const; // numbers and flags as their text; absent otherwise
    bool flag(const QString& key) const;                   // "true" or "1"; false when missing
    qint64 integer(const QString& key) const;              // 0 when missing or not a whole number
    void setText(const QString& key, const QString& value);
    void setFlag(const QString& key, bool value);
    void setInteger(const QString& key, qint64 value);
    void remove(const QString& key);

    // The same writes, telling whether the file was written; a failure is also logged.
    bool write(const QString& key, const QVariant& value);
    bool erase(const QString& key);

    // Why the settings file cannot be used, when it cannot: it is not a regular file (a symbolic
    // link, a FIFO, a device), cannot be read, is not in the settings format, or is locked by
    // another process (asked without waiting). Nothing when it is
    // usable or does not exist yet. Reads of a file that is not a regular one find nothing, reads of
    // a damaged one find what can be parsed, and writes to either fail and leave the file as it is.
    std::optional<QString> fileProblem() const;

private:
    class FileLock;

public:
    // While it lives, every read and write of `settings` runs under one lock of the file, taken
    // here with a short bounded wait: a command that reads many keys waits once at most. When the
    // lock cannot be had, reads get what was read last and writes fail. `exclusive` for
    // writes, which also creates the file's directory when it is missing. Batches do not nest.
    class Batch {
    public:
        Batch(Settings& settings, bool exclusive);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        Settings& settings_;
        std::unique_ptr<FileLock> lock_;
    };

private:
    // A lock of the file for one operation, unless a Batch holds the file already.
    std::unique_ptr<FileLock> lockFor(bool exclusive, int timeoutMs) const;
    // Whether `lock` (or the batch's, when null) is held by another process.
    bool isLockedOut(const std::unique_ptr<FileLock>& lock) const;
    std::optional<QVariant> value(const QString& key) const;
    // The caller holds the file lock.
    std::optional<QVariant> readLocked(const QString& key) const;
    std::optional<QString> problemLocked() const;
    bool storeLocked(const QString& key, const std::optional<QVariant>& value);

    QString userFile_;
    ManagedConfiguration managed_;
    bool inBatch_ = false;
    const FileLock* batchLock_ = nullptr;
    mutable std::optional<QString> lockProblem_;               // why the lock was last out of reach
    mutable QHash<QString, std::optional<QVariant>> lastRead_; // each key as last read or written under the lock
};

} // namespace nerova

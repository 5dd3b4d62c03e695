#pragma once

#include "common/Json.h"

#include <QSet>
#include <QString>

#include <sys/types.h>

namespace nerova {

// The administrator's configuration: JSON policy files (*.json) in one directory, each holding one
// object. Files are merged in file-name order, a later file winning per key. Only the trusted
// owner (root) may own and write the directory and the files: a directory or file that anyone
// else can write, or a file that is not a JSON object, is ignored with an error line naming it.
// So is the directory when its parent lets others replace it (owned by another account, or
// writable by others without the sticky bit).
// Nothing is cached: every read looks at the directory again. A problem is logged once, and again
// only after a policy file or the directory changed, however often the configuration is read.
class ManagedConfiguration {
public:
    // `trustedOwner` is root in the product; tests that cannot create root-owned files pass their own id.
    ManagedConfiguration(QString directory, uid_t trustedOwner = 0);

    const QString& directory() const { return directory_; }

    // The merged policy object; empty when the directory is missing or ignored.
    Json read() const;

    // Whether `problem` is new since the files last changed (as seen by the last read()); it counts
    // as said from now on. For callers that log problems of the merged object.
    bool isNewProblem(const QString& problem) const;

private:
    struct Reading;

    // Why the file or directory described by `mode` and `owner` must not be trusted; empty when it may.
    QString distrust(mode_t mode, uid_t owner) const;
    // Why the directory holding the policy directory must not be trusted; empty when it may.
    QString distrustParent(Reading& reading) const;
    std::optional<Json> readFile(const QString& path, Reading& reading) const;
    void logNewProblems(const Reading& reading) const;

    QString directory_;
    uid_t trustedOwner_;
    // The state of the files when problems were last logged, and the problems said since then.
    mutable QByteArray reportedState_;
    mutable QSet<QString> reported_;
};

} // namespace nerova

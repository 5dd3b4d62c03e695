#pragma once

#include "common/Json.h"

#include <QString>

#include <sys/types.h>

namespace nerova {

// The administrator's configuration: JSON policy files (*.json) in one directory, each holding one
// object. Files are merged in file-name order, a later file winning per key. Only the trusted
// owner (root) may own and write the directory and the files: a directory or file that anyone
// else can write, or a file that is not a JSON object, is ignored with an error line naming it.
// Nothing is cached: every read looks at the directory again.
class ManagedConfiguration {
public:
    // `trustedOwner` is root in the product; tests that cannot create root-owned files pass their own id.
    ManagedConfiguration(QString directory, uid_t trustedOwner = 0);

    const QString& directory() const { return directory_; }

    // The merged policy object; empty when the directory is missing or ignored.
    Json read() const;

private:
    // Why the file or directory described by `mode` and `owner` must not be trusted; empty when it may.
    QString distrust(mode_t mode, uid_t owner) const;
    std::optional<Json> readFile(const QString& path) const;

    QString directory_;
    uid_t trustedOwner_;
};

} // namespace nerova

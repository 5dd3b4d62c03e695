#pragma once

#include "ui/LoginItem.h"

#include <QStringList>

namespace nerova {

// The login item of a freedesktop session: an autostart entry named after the application. The
// user's entry, when there is one, is the user's choice and is never rewritten; an entry is
// written only where neither the user nor the system has one. Only a regular file of at most
// maxEntryBytes counts as an entry, and the user's is never read or written through a symbolic
// link: anything else there (a link, a directory, a FIFO, an oversized file) counts as not
// registered, and registering says why and leaves it as it is.
class AutostartLoginItem final : public LoginItem {
public:
    static constexpr const char* entryName = "app.nerova.NerovaAgent.desktop";
    static constexpr qint64 maxEntryBytes = 64 * 1024;

    // `userDirectory`: the user's autostart directory; `systemDirectories`: the system's, in order
    // of precedence; `program`: the command the entry starts.
    AutostartLoginItem(QString userDirectory, QStringList systemDirectories, QString program);
    // The directories of $XDG_CONFIG_HOME and $XDG_CONFIG_DIRS, starting this program.
    static AutostartLoginItem forCurrentUser();

    QString userEntry() const;
    // Writes the user's entry where no entry exists; raises LoginItemError when that fails or when
    // something that is no entry stands where the user's entry would be.
    void registerItem() override;
    // enabled, or notRegistered when the entry in effect is disabled (Hidden=true or
    // X-GNOME-Autostart-enabled=false) or is no entry, or notFound when there is none.
    Status status() const override;

private:
    // Whether anything, even a dangling symbolic link, is at the user's entry's path.
    bool userEntryExists() const;
    // The entry in effect: the user's, else the first system one; empty when none exists.
    QString entryInEffect() const;

    QString userDirectory_;
    QStringList systemDirectories_;
    QString program_;
};

} // namespace nerova

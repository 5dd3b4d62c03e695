#pragma once

#include "ui/LoginItem.h"

#include <QStringList>

namespace nerova {

// The login item of a freedesktop session: an autostart entry named after the application. The
// user's entry, when there is one, is the user's choice and is never rewritten; an entry is
// written only where neither the user nor the system has one.
class AutostartLoginItem final : public LoginItem {
public:
    static constexpr const char* entryName = "app.nerova.NerovaAgent.desktop";

    // `userDirectory`: the user's autostart directory; `systemDirectories`: the system's, in order
    // of precedence; `program`: the command the entry starts.
    AutostartLoginItem(QString userDirectory, QStringList systemDirectories, QString program);
    // The directories of $XDG_CONFIG_HOME and $XDG_CONFIG_DIRS, starting this program.
    static AutostartLoginItem forCurrentUser();

    QString userEntry() const;
    void registerItem() override;
    // enabled, or notRegistered when the entry in effect is disabled (Hidden=true or
    // X-GNOME-Autostart-enabled=false), or notFound when there is none.
    Status status() const override;

private:
    // The entry in effect: the user's, else the first system one; empty when none exists.
    QString entryInEffect() const;

    QString userDirectory_;
    QStringList systemDirectories_;
    QString program_;
};

} // namespace nerova

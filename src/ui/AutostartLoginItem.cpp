#include "ui/AutostartLoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace nerova {

namespace {

// The keys of the [Desktop Entry] group; other groups and comments are skipped.
QHash<QString, QString> desktopEntry(const QString& path)
{
    QHash<QString, QString> keys;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return keys;
    }
    bool inEntry = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == QLatin1String("[Desktop Entry]");
        } else if (inEntry && !line.startsWith(QLatin1Char('#'))) {
            const qsizetype equals = line.indexOf(QLatin1Char('='));
            if (equals > 0) {
                keys.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
            }
        }
    }
    return keys;
}

// An argument of an Exec line: quoted when it holds anything but plain characters.
QString execArgument(const QString& program)
{
    static const QString plain = QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+");
    bool quote = false;
    for (QChar c : program) {
        quote = quote || !plain.contains(c);
    }
    if (!quote) {
        return program;
    }
    QString escaped = program;
    for (const char* special : {"\\", "\"", "`", "$"}) {
        escaped.replace(QLatin1String(special), QLatin1String("\\") + QLatin1String(special));
    }
    escaped.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

} // namespace

AutostartLoginItem::AutostartLoginItem(QString userDirectory, QStringList systemDirectories, QString program)
    : userDirectory_(std::move(userDirectory)),
      systemDirectories_(std::move(systemDirectories)),
      program_(std::move(program))
{}

AutostartLoginItem AutostartLoginItem::forCurrentUser()
{
    const QString userConfig = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    if (dirs.isEmpty()) {
        dirs = QStringLiteral("/etc/xdg");
    }
    QStringList system;
    for (const QString& dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        system << dir + QStringLiteral("/autostart");
    }
    return AutostartLoginItem(userConfig + QStringLiteral("/autostart"), system,
                              QCoreApplication::applicationFilePath());
}

QString AutostartLoginItem::userEntry() const { return userDirectory_ + QLatin1Char('/') + QLatin1String(entryName); }

QString AutostartLoginItem::entryInEffect() const
{
    if (QFileInfo::exists(userEntry())) {
        return userEntry();
    }
    for (const QString& dir : systemDirectories_) {
        const QString path = dir + QLatin1Char('/') + QLatin1String(entryName);
        if (QFileInfo::exists(path)) {
            return path;
        }
    }
    return {};
}

void AutostartLoginItem::registerItem()
{
    if (!entryInEffect().isEmpty()) {
        return; // the user's (or the administrator's) entry stands, enabled or not
    }
    if (!QDir().mkpath(userDirectory_)) {
        throw LoginItemError(LoginItemError::Case::registrationFailed,
                             userDirectory_ + QStringLiteral(": the directory cannot be created"));
    }
    QSaveFile file(userEntry());
    const QByteArray entry = "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Nerova Agent\n"
                             "Comment=Report your presence at the company's locations\n"
                             "Exec=" +
                             execArgument(program_).toUtf8() +
                             "\n"
                             "Icon=app.nerova.NerovaAgent\n"
                             "Terminal=false\n"
                             "StartupNotify=false\n"
                             "X-GNOME-Autostart-enabled=true\n";
    if (!file.open(QIODevice::WriteOnly) || file.write(entry) != entry.size() || !file.commit()) {
        throw LoginItemError(LoginItemError::Case::registrationFailed,
                             userEntry() + QStringLiteral(": ") + file.errorString());
    }
}

LoginItem::Status AutostartLoginItem::status() const
{
    const QString path = entryInEffect();
    if (path.isEmpty()) {
        return Status::notFound;
    }
    const QHash<QString, QString> keys = desktopEntry(path);
    const bool hidden = keys.value(QStringLiteral("Hidden")).compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
    const bool disabled =
        keys.value(QStringLiteral("X-GNOME-Autostart-enabled")).compare(QLatin1String("false"), Qt::CaseInsensitive) ==
        0;
    return hidden || disabled ? Status::notRegistered : Status::enabled;
}

} // namespace nerova

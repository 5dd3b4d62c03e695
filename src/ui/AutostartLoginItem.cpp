#include "ui/AutostartLoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nerova {

namespace {

// The content of the entry at `path`, or why it is not an entry: only a regular file of at most
// maxEntryBytes is read. The user's entry is looked at with lstat and opened with O_NOFOLLOW, so a
// symbolic link is never followed; nothing but a regular file is ever opened (O_NONBLOCK besides, in
// case it turns into a FIFO meanwhile), and the descriptor is checked again.
struct EntryFile {
    QByteArray content;
    QString problem; // empty: `content` is the entry
};

QString kindOf(mode_t mode)
{
    if (S_ISLNK(mode)) {
        return QStringLiteral("a symbolic link");
    }
    if (S_ISDIR(mode)) {
        return QStringLiteral("a directory");
    }
    if (S_ISFIFO(mode)) {
        return QStringLiteral("a FIFO");
    }
    if (S_ISSOCK(mode)) {
        return QStringLiteral("a socket");
    }
    return QStringLiteral("a device");
}

EntryFile readEntry(const QString& path, bool followLinks)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    if ((followLinks ? ::stat(native.constData(), &info) : ::lstat(native.constData(), &info)) != 0) {
        return {{}, QString::fromLocal8Bit(std::strerror(errno))};
    }
    if (!S_ISREG(info.st_mode)) {
        return {{}, QStringLiteral("not a regular file but ") + kindOf(info.st_mode)};
    }
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        return {{}, QString::fromLocal8Bit(std::strerror(errno))};
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {{}, file.errorString()};
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        return {{}, QStringLiteral("not a regular file")};
    }
    QByteArray content = file.read(AutostartLoginItem::maxEntryBytes + 1);
    if (content.size() > AutostartLoginItem::maxEntryBytes) {
        return {{}, QStringLiteral("larger than %1 bytes").arg(AutostartLoginItem::maxEntryBytes)};
    }
    return {std::move(content), {}};
}

// The keys of the [Desktop Entry] group; other groups and comments are skipped.
QHash<QString, QString> desktopEntry(const QByteArray& content)
{
    QHash<QString, QString> keys;
    bool inEntry = false;
    for (const QByteArray& bytes : content.split('\n')) {
        const QString line = QString::fromUtf8(bytes).trimmed();
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

// A string value of a desktop entry (TryExec): backslashes and line breaks escaped.
QString stringValue(const QString& text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    escaped.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    escaped.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    escaped.replace(QLatin1Char('\t'), QStringLiteral("\\t"));
    return escaped;
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

bool AutostartLoginItem::userEntryExists() const
{
    struct stat info {};
    return ::lstat(QFile::encodeName(userEntry()).constData(), &info) == 0;
}

QString AutostartLoginItem::entryInEffect() const
{
    if (userEntryExists()) {
        return userEntry(); // whatever it is: a dangling link too
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
    if (userEntryExists()) {
        // The user's entry stands, enabled or not; what is no entry is left as it is and said.
        if (const QString problem = readEntry(userEntry(), false).problem; !problem.isEmpty()) {
            throw LoginItemError(LoginItemError::Case::registrationFailed,
                                 userEntry() + QStringLiteral(": ") + problem + QStringLiteral(", left as it is"));
        }
        return;
    }
    if (!entryInEffect().isEmpty()) {
        return; // the administrator's entry stands
    }
    if (!QDir().mkpath(userDirectory_)) {
        throw LoginItemError(LoginItemError::Case::registrationFailed,
                             userDirectory_ + QStringLiteral(": the directory cannot be created"));
    }
    const QByteArray entry = "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Nerova Agent\n"
                             "Comment=Report your presence at the company's locations\n"
                             "TryExec=" +
                             stringValue(program_).toUtf8() +
                             "\n"
                             "Exec=" +
                             execArgument(program_).toUtf8() +
                             "\n"
                             "Icon=app.nerova.NerovaAgent\n"
                             "Terminal=false\n"
                             "StartupNotify=false\n"
                             "X-GNOME-Autostart-enabled=true\n";
    // Created only where nothing is, not even a link put there since the look above.
    const QByteArray native = QFile::encodeName(userEntry());
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0) {
        errno = 0;
        if (::write(fd, entry.constData(), size_t(entry.size())) != entry.size()) {
            error = errno != 0 ? errno : EIO;
            ::unlink(native.constData());
        }
        ::close(fd);
    }
    if (error != 0) {
        throw LoginItemError(LoginItemError::Case::registrationFailed,
                             userEntry() + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error)));
    }
}

LoginItem::Status AutostartLoginItem::status() const
{
    const QString path = entryInEffect();
    if (path.isEmpty()) {
        return Status::notFound;
    }
    // The administrator's entries may be links; the user's never.
    const EntryFile entry = readEntry(path, path != userEntry());
    if (!entry.problem.isEmpty()) {
        return Status::notRegistered;
    }
    const QHash<QString, QString> keys = desktopEntry(entry.content);
    const bool hidden = keys.value(QStringLiteral("Hidden")).compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
    const bool disabled =
        keys.value(QStringLiteral("X-GNOME-Autostart-enabled")).compare(QLatin1String("false"), Qt::CaseInsensitive) ==
        0;
    return hidden || disabled ? Status::notRegistered : Status::enabled;
}

} // namespace nerova

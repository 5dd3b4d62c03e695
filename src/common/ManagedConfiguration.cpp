#include "common/ManagedConfiguration.h"

#include "common/ManagedConfigurationJson.h"
#include "common/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nerova {

namespace {

QString accountName(uid_t uid)
{
    if (const passwd* entry = getpwuid(uid)) {
        return QString::fromLocal8Bit(entry->pw_name);
    }
    return QStringLiteral("uid %1").arg(uid);
}

QString systemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// One version of a file or directory: a rewrite, a replacement, or a change of mode or owner
// gives another.
QByteArray stamp(const QString& path, const struct stat& info)
{
    QByteArray text = QFile::encodeName(path);
    for (const long long field :
         {(long long)info.st_dev, (long long)info.st_ino, (long long)info.st_size, (long long)info.st_mtim.tv_sec,
          (long long)info.st_mtim.tv_nsec, (long long)info.st_ctim.tv_sec, (long long)info.st_ctim.tv_nsec}) {
        text += ':' + QByteArray::number(field);
    }
    return text + '\0';
}

} // namespace

// What one read found wrong, and the state of the files it looked at.
struct ManagedConfiguration::Reading {
    QByteArray state;
    QList<std::pair<QString, QString>> ignored; // path and reason

    void ignore(const QString& path, const QString& reason) { ignored.append({path, reason}); }
};

ManagedConfiguration::ManagedConfiguration(QString directory, uid_t trustedOwner)
    : directory_(std::move(directory)), trustedOwner_(trustedOwner)
{}

QString ManagedConfiguration::distrust(mode_t mode, uid_t owner) const
{
    if (owner != trustedOwner_) {
        return QStringLiteral("owned by %1, not by %2").arg(accountName(owner), accountName(trustedOwner_));
    }
    if ((mode & (S_IWGRP | S_IWOTH)) != 0) {
        return QStringLiteral("writable by others than %1 (mode %2)")
            .arg(accountName(trustedOwner_), QString::number(mode & 07777, 8).rightJustified(4, u'0'));
    }
    return {};
}

QString ManagedConfiguration::distrustParent(Reading& reading) const
{
    const QString parent = QFileInfo(QDir::cleanPath(QDir(directory_).absolutePath())).absolutePath();
    struct stat info {};
    if (::stat(QFile::encodeName(parent).constData(), &info) != 0) {
        return parent + QStringLiteral(": ") + systemError(errno);
    }
    reading.state += stamp(parent, info);
    if (info.st_uid != 0 && info.st_uid != trustedOwner_) {
        return QStringLiteral("its parent %1 is owned by %2, not by %3")
            .arg(parent, accountName(info.st_uid), accountName(trustedOwner_));
    }
    // In a sticky directory only the owners may rename or remove what it holds.
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) {
        return QStringLiteral("its parent %1 is writable by others than %2 (mode %3)")
            .arg(parent, accountName(info.st_uid), QString::number(info.st_mode & 07777, 8).rightJustified(4, u'0'));
    }
    return {};
}

Json ManagedConfiguration::read() const
{
    Json merged = Json::object();
    Reading reading;
    struct stat info {};
    const QByteArray nativeDirectory = QFile::encodeName(directory_);
    if (::stat(nativeDirectory.constData(), &info) != 0) {
        if (errno != ENOENT) {
            reading.ignore(directory_, systemError(errno));
        }
        logNewProblems(reading);
        return merged; // no policy directory: an unmanaged machine
    }
    reading.state = stamp(directory_, info);
    if (!S_ISDIR(info.st_mode)) {
        reading.ignore(directory_, QStringLiteral("not a directory"));
    } else if (const QString reason = distrust(info.st_mode, info.st_uid); !reason.isEmpty()) {
        reading.ignore(directory_, reason);
    } else if (const QString parentReason = distrustParent(reading); !parentReason.isEmpty()) {
        reading.ignore(directory_, parentReason);
    } else {
        const QDir directory(directory_);
        QStringList names = directory.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::NoSort);
        std::sort(names.begin(), names.end()); // plain code-point order, independent of the locale
        for (const QString& name : names) {
            if (const auto policy = readFile(directory.filePath(name), reading)) {
                for (const auto& [key, value] : policy->items()) {
                    merged[key] = value;
                }
            }
        }
    }
    logNewProblems(reading);
    return merged;
}

void ManagedConfiguration::logNewProblems(const Reading& reading) const
{
    if (reading.state != reportedState_) {
        reportedState_ = reading.state;
        reported_.clear();
    }
    for (const auto& [path, reason] : reading.ignored) {
        if (isNewProblem(path + u'\0' + reason)) {
            qCCritical(lcSettings, "Ignoring managed configuration %s: %s", qUtf8Printable(path),
                       qUtf8Printable(reason));
        }
    }
}

bool ManagedConfiguration::isNewProblem(const QString& problem) const
{
    if (reported_.contains(problem)) {
        return false;
    }
    reported_.insert(problem);
    return true;
}

std::optional<Json> ManagedConfiguration::readFile(const QString& path, Reading& reading) const
{
    // Opened first and checked through the descriptor, so the file judged is the file read.
    // O_NONBLOCK keeps a FIFO from blocking the open.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reading.ignore(path, systemError(errno));
        return std::nullopt;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        reading.ignore(path, file.errorString());
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        reading.ignore(path, systemError(errno));
        return std::nullopt;
    }
    reading.state += stamp(path, info);
    if (!S_ISREG(info.st_mode)) {
        reading.ignore(path, QStringLiteral("not a regular file"));
        return std::nullopt;
    }
    if (const QString reason = distrust(info.st_mode, info.st_uid); !reason.isEmpty()) {
        reading.ignore(path, reason);
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        reading.ignore(path, file.errorString());
        return std::nullopt;
    }
    try {
        return decodeManagedPolicy(bytes);
    } catch (const JsonDecodeError& error) {
        reading.ignore(path, error.description());
        return std::nullopt;
    }
}

} // namespace nerova

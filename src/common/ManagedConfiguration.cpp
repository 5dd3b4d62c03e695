#include "common/ManagedConfiguration.h"

#include "common/ManagedConfigurationJson.h"
#include "common/Settings.h"

#include <QDir>
#include <QFile>

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

void ignore(const QString& path, const QString& reason)
{
    qCCritical(lcSettings, "Ignoring managed configuration %s: %s", qUtf8Printable(path), qUtf8Printable(reason));
}

} // namespace

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

Json ManagedConfiguration::read() const
{
    Json merged = Json::object();
    struct stat info {};
    const QByteArray nativeDirectory = QFile::encodeName(directory_);
    if (::stat(nativeDirectory.constData(), &info) != 0) {
        if (errno != ENOENT) {
            ignore(directory_, systemError(errno));
        }
        return merged; // no policy directory: an unmanaged machine
    }
    if (!S_ISDIR(info.st_mode)) {
        ignore(directory_, QStringLiteral("not a directory"));
        return merged;
    }
    if (const QString reason = distrust(info.st_mode, info.st_uid); !reason.isEmpty()) {
        ignore(directory_, reason);
        return merged;
    }

    const QDir directory(directory_);
    QStringList names = directory.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::NoSort);
    std::sort(names.begin(), names.end()); // plain code-point order, independent of the locale
    for (const QString& name : names) {
        if (const auto policy = readFile(directory.filePath(name))) {
            for (const auto& [key, value] : policy->items()) {
                merged[key] = value;
            }
        }
    }
    return merged;
}

std::optional<Json> ManagedConfiguration::readFile(const QString& path) const
{
    // Opened first and checked through the descriptor, so the file judged is the file read.
    // O_NONBLOCK keeps a FIFO from blocking the open.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ignore(path, systemError(errno));
        return std::nullopt;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        ignore(path, file.errorString());
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        ignore(path, systemError(errno));
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        ignore(path, QStringLiteral("not a regular file"));
        return std::nullopt;
    }
    if (const QString reason = distrust(info.st_mode, info.st_uid); !reason.isEmpty()) {
        ignore(path, reason);
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        ignore(path, file.errorString());
        return std::nullopt;
    }
    try {
        return decodeManagedPolicy(bytes);
    } catch (const JsonDecodeError& error) {
        ignore(path, error.description());
        return std::nullopt;
    }
}

} // namespace nerova

#include "service/FingerprintFileClient.h"

#include "common/AppInfo.h"
#include "common/Settings.h"
#include "network/HttpExchange.h"
#include "rules/FingerprintFileJson.h"
#include "service/NerovaClientError.h"

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QSaveFile>

namespace nerova {

Q_LOGGING_CATEGORY(lcFingerprintFileClient, "nerova.FingerprintFileClient", QtInfoMsg)

FingerprintFileClient::FingerprintFileClient(QNetworkAccessManager& session, Settings& settings, QString directory,
                                             std::chrono::milliseconds timeout)
    : session_(session), settings_(settings), directory_(std::move(directory)), timeout_(timeout)
{}

QString FingerprintFileClient::localCopyPath() const
{
    const QString directory = directory_.isEmpty() ? appDataDirectory() : directory_;
    if (directory.isEmpty()) {
        throw FingerprintStoreError(FingerprintStoreError::Case::noDirectory,
                                    QStringLiteral("Unable to access document directory"));
    }
    return QDir(directory).filePath(QString::fromLatin1(localCopyName));
}

QCoro::Task<std::optional<FingerprintFile>> FingerprintFileClient::fetchFingerprintFile(QString url,
                                                                                        FingerprintFileAnswer* answer)
{
    const QUrl address(url, QUrl::StrictMode);
    if (!address.isValid() || address.scheme().isEmpty()) {
        throw NerovaClientError::url();
    }
    QNetworkRequest request(address);
    const QString tagKey = QString::fromLatin1(settingskey::fingerprintETag);
    if (const std::optional<QString> tag = settings_.text(tagKey)) {
        request.setRawHeader("If-None-Match", tag->toUtf8());
        // Only the server may answer "not modified".
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    }
    ExchangeOptions options;
    options.deadline = timeout_;
    options.maxBodyBytes = maxFileBytes;
    const HttpResponse response = co_await exchange(session_, request, std::move(options));
    if (answer) {
        answer->statusCode = response.statusCode;
    }

    const auto keepTag = [&] {
        if (!response.statusCode) {
            return; // not HTTP: no tag
        }
        if (const std::optional<QByteArray> tag = response.header("Etag")) {
            settings_.setText(tagKey, QString::fromUtf8(*tag));
        } else {
            settings_.remove(tagKey);
        }
    };
    if (response.statusCode) {
        qCDebug(lcFingerprintFileClient, "Fingerprint status code: %ld", long(*response.statusCode));
        if (*response.statusCode != 200) {
            keepTag();
            co_return loadLocalCopyOrForgetTag();
        }
    }
    try {
        FingerprintFile file = decodeFingerprintFile(response.body, TimestampForm::served);
        storeFingerprintFile(file);
        // The tag stands for the file kept; one of a file that did not decode or was not kept
        // would make the server answer "not modified" and the file would never be installed.
        keepTag();
        co_return file;
    } catch (const std::exception& error) {
        settings_.remove(tagKey);
        qCCritical(lcFingerprintFileClient, "Error fetching fingerprint %s", qUtf8Printable(describeException(error)));
        if (answer) {
            answer->unusable = describeException(error);
        }
    }
    co_return loadLocalCopyOrForgetTag();
}

std::optional<FingerprintFile> FingerprintFileClient::loadLocalCopyOrForgetTag() const
{
    try {
        return loadStoredFingerprintFile();
    } catch (const std::exception&) {
        // The server would answer "not modified" for ever: the next download asks for the whole file.
        settings_.remove(QString::fromLatin1(settingskey::fingerprintETag));
        throw;
    }
}

void FingerprintFileClient::storeFingerprintFile(const FingerprintFile& file) const
{
    const QByteArray bytes = encodeFingerprintFile(file);
    const QString path = localCopyPath();
    QSaveFile save(path);
    // Unbuffered: a write that fails (a full disk) must fail here; a buffered one would fail only
    // in commit()'s flush, which does not stop the rename of the incomplete file over the copy.
    if (!QDir().mkpath(QFileInfo(path).path()) || !save.open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
        save.write(bytes) != bytes.size() || !save.commit()) {
        throw FingerprintStoreError(FingerprintStoreError::Case::writeFailed,
                                    path + QStringLiteral(": ") + save.errorString());
    }
}

std::optional<FingerprintFile> FingerprintFileClient::loadStoredFingerprintFile() const
{
    const QString path = localCopyPath();
    QFile file(path);
    if (!file.exists()) {
        return std::nullopt;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        throw FingerprintStoreError(FingerprintStoreError::Case::readFailed,
                                    path + QStringLiteral(": ") + file.errorString());
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throw FingerprintStoreError(FingerprintStoreError::Case::readFailed,
                                    path + QStringLiteral(": ") + file.errorString());
    }
    return decodeFingerprintFile(bytes, TimestampForm::stored);
}

} // namespace nerova

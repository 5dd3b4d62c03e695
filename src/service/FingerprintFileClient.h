#pragma once

#include "common/Error.h"
#include "rules/FingerprintFile.h"
#include "service/NerovaClient.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <optional>

class QNetworkAccessManager;

namespace nerova {

class Settings;

struct FingerprintStoreErrorCases {
    NEROVA_ERROR_CASES(noDirectory, // no application-data directory: "Unable to access document directory"
                       readFailed, writeFailed);
};

// The local copy of the fingerprint file could not be kept or read.
class FingerprintStoreError final : public ErrorFamily<FingerprintStoreErrorCases> {
public:
    using ErrorFamily::ErrorFamily;
};

// How the server answered one download, for those who keep account of the requests.
struct FingerprintFileAnswer {
    std::optional<int> statusCode;   // absent when no HTTP answer came
    std::optional<QString> unusable; // why a file sent with 200 was not taken
};

// Downloads the fingerprint file from the address the check-in handed out, conditionally on the
// entity tag of the last answer ("fingerprintETag"), and keeps the last good file as a local copy
// ("fingerprintFile.json" in the application-data directory), which it answers whenever the
// server has nothing new or sends something unusable.
class FingerprintFileClient {
public:
    static constexpr const char* localCopyName = "fingerprintFile.json";
    static constexpr qint64 maxFileBytes = 32 * 1024 * 1024;

    // `directory`: where the local copy lives; empty for appDataDirectory().
    FingerprintFileClient(QNetworkAccessManager& session, Settings& settings, QString directory = {},
                          std::chrono::milliseconds timeout = NerovaClient::defaultTimeout);

    // The new file, else the local copy, else nothing. Raises NerovaClientError::urlError for a
    // text that is not a URL, URLLoadingError when no answer came (or it outgrew maxFileBytes or the timeout, which
    // bounds the whole download), and the local copy's errors. `answer`, when given, learns how the
    // server answered (set before the local copy is read) and must outlive the task.
    QCoro::Task<std::optional<FingerprintFile>> fetchFingerprintFile(QString url,
                                                                     FingerprintFileAnswer* answer = nullptr);

    // Replaces the local copy atomically: a failed or interrupted write leaves the old copy whole.
    void storeFingerprintFile(const FingerprintFile& file) const;
    // Absent when there is no local copy; raises FingerprintStoreError or JsonDecodeError.
    std::optional<FingerprintFile> loadStoredFingerprintFile() const;

private:
    QString localCopyPath() const;
    // The local copy; when it cannot be read, the entity tag is forgotten before the error is raised.
    std::optional<FingerprintFile> loadLocalCopyOrForgetTag() const;

    QNetworkAccessManager& session_;
    Settings& settings_;
    QString directory_;
    std::chrono::milliseconds timeout_;
};

} // namespace nerova

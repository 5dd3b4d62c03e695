#pragma once

#include "common/Clock.h"
#include "common/Json.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <deque>
#include <memory>
#include <optional>

namespace nerova {

// The kinds of request the agent sends to the service.
enum class ActivityRequest { registration, completion, checkin, presence, download };
// What became of one: the service took it, refused it (its status is in the detail), no answer
// came (the error is in the detail), or it had nothing new for a download.
enum class ActivityOutcome { accepted, refused, failed, notModified };

// "registration", "completion", "check-in", "presence", "download".
QString activityRequestText(ActivityRequest request);
// "accepted", "refused", "failed", "not modified".
QString activityOutcomeText(ActivityOutcome outcome);

// One request as the record keeps it: one JSON object per line,
// {"time": "2026-12-07T09:15:02Z", "request": ..., "outcome": ..., "detail": ...}.
struct ActivityEntry {
    QDateTime time; // UTC, whole seconds
    ActivityRequest request = ActivityRequest::checkin;
    ActivityOutcome outcome = ActivityOutcome::accepted;
    QString detail;

    Json toJson() const;
    // The line as written, with its line feed.
    QByteArray toLine() const;
    // Absent for a line that is not one entry (damaged, truncated, of an unknown kind).
    static std::optional<ActivityEntry> fromLine(QByteArrayView line);

    friend bool operator==(const ActivityEntry&, const ActivityEntry&) = default;
};

// The local record of every request the agent sent to the service, kept for the user in
// "activity.jsonl" beside the local copy of the fingerprint file (mode 0600). It holds the newest
// maxEntries entries of the last maxAgeDays days. The file is read once, when the record is made;
// after that the record writes it on a thread of its own, in order, so that a slow disk never holds
// up the event loop: each entry is appended as one line, and the file is rewritten (atomically: a
// temporary file renamed over it) without the entries it no longer keeps only once it holds
// maxEntries / 4 lines more than are kept, or a line older than the bound by a day. Damaged lines
// are skipped. A record that cannot be written says so once in the log and keeps its entries in
// memory.
class ActivityRecord : public QObject {
    Q_OBJECT

public:
    static constexpr const char* fileName = "activity.jsonl";
    static constexpr qsizetype maxEntries = 1000;
    static constexpr int maxAgeDays = 30;
    static constexpr qsizetype maxDetailChars = 400;
    // Only the end of a larger file is read: far more than the bound ever needs.
    static constexpr qint64 maxReadBytes = 4 * 1024 * 1024;

    // The record's place in the application-data folder; empty when there is none.
    static QString defaultPath();
    // The entries of the file at `path` within the bounds at `now`, newest first; none when the
    // file does not exist. Raises nothing: an unreadable file yields `problem` (when given) and no entries.
    static QList<ActivityEntry> read(const QString& path, const QDateTime& now, QString* problem = nullptr);

    // `clock` must outlive the record. An empty `path` keeps the entries in memory only.
    ActivityRecord(QString path, const Clock& clock, QObject* parent = nullptr);
    // Waits until every write asked for has ended, so that no entry is lost.
    ~ActivityRecord() override;

    const QString& path() const { return path_; }

    // Appends one entry at the clock's time. The detail is cut at maxDetailChars.
    void record(ActivityRequest request, ActivityOutcome outcome, QString detail);

    // The entries kept, newest first.
    QList<ActivityEntry> entries() const;

    // Blocks until the file holds every entry recorded so far (for tests and measurements).
    void waitForWrites();

signals:
    void recorded(const nerova::ActivityEntry& entry);

private:
    struct Kept {
        ActivityEntry entry;
        QByteArray line;
    };
    struct Writer;

    void load();
    void dropBeyondBounds();
    void compactIfDue();

    QString path_;
    const Clock& clock_;
    std::deque<Kept> kept_;          // oldest first
    qsizetype fileLines_ = 0;        // lines in the file once the writes asked for have ended, damaged ones too
    QDateTime fileOldest_;           // of the oldest entry in the file; invalid when none
    std::shared_ptr<Writer> writer_; // used on the writing thread only
    QThreadPool writing_;            // one thread: the writes happen in the order asked
};

} // namespace nerova

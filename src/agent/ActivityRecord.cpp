#include "agent/ActivityRecord.h"

#include "common/AppInfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSaveFile>

#include <array>

namespace nerova {

Q_LOGGING_CATEGORY(lcActivityRecord, "nerova.ActivityRecord", QtInfoMsg)

namespace {

constexpr std::array requestTexts{"registration", "completion", "check-in", "presence", "download"};
constexpr std::array outcomeTexts{"accepted", "refused", "failed", "not modified"};
// No entry comes close; a longer line is damaged.
constexpr qsizetype maxLineBytes = 8192;
constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

template <typename Enum, std::size_t N>
std::optional<Enum> fromText(const std::array<const char*, N>& texts, const std::string& text)
{
    for (std::size_t i = 0; i < N; ++i) {
        if (text == texts[i]) {
            return Enum(i);
        }
    }
    return std::nullopt;
}

QDateTime wholeSeconds(const QDateTime& time)
{
    return QDateTime::fromSecsSinceEpoch(time.toSecsSinceEpoch(), Qt::UTC);
}

// Entries are dated in whole seconds, so the bound is too: an entry exactly maxAgeDays old is kept.
QDateTime oldestKept(const QDateTime& now) { return wholeSeconds(now).addDays(-ActivityRecord::maxAgeDays); }

// What a file holds: its entries in file order, and how many lines (damaged ones too).
struct FileContents {
    std::vector<ActivityEntry> entries;
    qsizetype lines = 0;
    bool endsInTruncatedLine = false;
    QString problem; // the file exists but cannot be read
};

FileContents readFile(const QString& path)
{
    FileContents contents;
    QFile file(path);
    if (!file.exists()) {
        return contents;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        contents.problem = file.errorString();
        return contents;
    }
    const qint64 size = file.size();
    const bool tail = size > ActivityRecord::maxReadBytes;
    if (tail) {
        file.seek(size - ActivityRecord::maxReadBytes);
    }
    QByteArray bytes = file.read(ActivityRecord::maxReadBytes);
    if (file.error() != QFileDevice::NoError) {
        contents.problem = file.errorString();
        return contents;
    }
    qsizetype start = 0;
    if (tail) { // the first line read is most likely a part of one
        start = bytes.indexOf('\n') + 1;
    }
    contents.endsInTruncatedLine = !bytes.isEmpty() && !bytes.endsWith('\n');
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0) {
            end = bytes.size();
        }
        ++contents.lines;
        if (std::optional<ActivityEntry> entry =
                ActivityEntry::fromLine(QByteArrayView(bytes).sliced(start, end - start))) {
            contents.entries.push_back(std::move(*entry));
        }
        start = end + 1;
    }
    return contents;
}

// Replaces the file at `path` with `bytes` atomically; yields the problem, empty when none.
QString writeAtomically(const QString& path, const QByteArray& bytes)
{
    QSaveFile save(path);
    if (!save.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        return save.errorString();
    }
    save.setPermissions(ownerOnly);
    if (save.write(bytes) != bytes.size() || !save.commit()) {
        return save.errorString();
    }
    return {};
}

} // namespace

QString activityRequestText(ActivityRequest request) { return QString::fromLatin1(requestTexts.at(int(request))); }

QString activityOutcomeText(ActivityOutcome outcome) { return QString::fromLatin1(outcomeTexts.at(int(outcome))); }

Json ActivityEntry::toJson() const
{
    Json json = Json::object();
    json["time"] = toStdString(time.toUTC().toString(Qt::ISODate));
    json["request"] = requestTexts.at(int(request));
    json["outcome"] = outcomeTexts.at(int(outcome));
    json["detail"] = toStdString(detail);
    return json;
}

QByteArray ActivityEntry::toLine() const
{
    return QByteArray::fromStdString(toJson().dump(-1, ' ', false, Json::error_handler_t::replace)) + '\n';
}

std::optional<ActivityEntry> ActivityEntry::fromLine(QByteArrayView line)
{
    if (line.size() > maxLineBytes || !line.startsWith('{')) {
        return std::nullopt;
    }
    const Json json = Json::parse(line.begin(), line.end(), nullptr, false);
    if (!json.is_object() || json.size() != 4) {
        return std::nullopt;
    }
    for (const char* key : {"time", "request", "outcome", "detail"}) {
        if (!json.contains(key) || !json.at(key).is_string()) {
            return std::nullopt;
        }
    }
    const std::string time = json.at("time").get<std::string>();
    ActivityEntry entry;
    entry.time = QDateTime::fromString(QString::fromStdString(time), Qt::ISODate);
    const std::optional<ActivityRequest> request =
        fromText<ActivityRequest>(requestTexts, json.at("request").get<std::string>());
    const std::optional<ActivityOutcome> outcome =
        fromText<ActivityOutcome>(outcomeTexts, json.at("outcome").get<std::string>());
    if (!entry.time.isValid() || !time.ends_with('Z') || !request || !outcome) {
        return std::nullopt;
    }
    entry.time = entry.time.toUTC();
    entry.request = *request;
    entry.outcome = *outcome;
    entry.detail = fromStdString(json.at("detail").get<std::string>());
    return entry;
}

QString ActivityRecord::defaultPath()
{
    const QString directory = appDataDirectory();
    return directory.isEmpty() ? QString() : QDir(directory).filePath(QString::fromLatin1(fileName));
}

QList<ActivityEntry> ActivityRecord::read(const QString& path, const QDateTime& now, QString* problem)
{
    const FileContents contents = readFile(path);
    if (problem) {
        *problem = contents.problem;
    }
    QList<ActivityEntry> newestFirst;
    const QDateTime oldest = oldestKept(now);
    for (auto it = contents.entries.crbegin(); it != contents.entries.crend() && newestFirst.size() < maxEntries;
         ++it) {
        if (it->time >= oldest) {
            newestFirst.append(*it);
        }
    }
    return newestFirst;
}

// The file's side of the record: what it knows of the file, touched by the writing thread alone.
struct ActivityRecord::Writer {
    QString path;
    bool endsInTruncatedLine = false;
    bool failed = false; // said once, until a write succeeds again

    void append(const QByteArray& line)
    {
        const QFileInfo info(path);
        if (!info.dir().exists() && !QDir().mkpath(info.path())) {
            noteProblem(QStringLiteral("cannot create the folder"));
            return;
        }
        QFile file(path);
        // One write of a whole line to the end of the file: a reader sees it whole or not at all.
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered, ownerOnly)) {
            noteProblem(file.errorString());
            return;
        }
        const QByteArray bytes = endsInTruncatedLine ? '\n' + line : line;
        if (file.write(bytes) != bytes.size()) {
            noteProblem(file.errorString());
            return;
        }
        endsInTruncatedLine = false;
        failed = false;
    }
    void replace(const QByteArray& lines)
    {
        if (const QString problem = writeAtomically(path, lines); !problem.isEmpty()) {
            noteProblem(problem);
            return;
        }
        endsInTruncatedLine = false;
        failed = false;
    }
    void noteProblem(const QString& problem)
    {
        if (!failed) {
            qCWarning(lcActivityRecord, "Cannot write the activity record %s: %s", qUtf8Printable(path),
                      qUtf8Printable(problem));
        }
        failed = true;
    }
};

ActivityRecord::ActivityRecord(QString path, const Clock& clock, QObject* parent)
    : QObject(parent), path_(std::move(path)), clock_(clock), writer_(std::make_shared<Writer>())
{
    writing_.setMaxThreadCount(1);
    writer_->path = path_;
    if (path_.isEmpty()) {
        qCWarning(lcActivityRecord, "No data folder: the activity record is kept in memory only");
        return;
    }
    load();
}

ActivityRecord::~ActivityRecord() { waitForWrites(); }

void ActivityRecord::waitForWrites() { writing_.waitForDone(); }

void ActivityRecord::load()
{
    FileContents contents = readFile(path_);
    if (!contents.problem.isEmpty()) {
        qCWarning(lcActivityRecord, "Cannot read the activity record %s: %s", qUtf8Printable(path_),
                  qUtf8Printable(contents.problem));
    }
    fileLines_ = contents.lines;
    writer_->endsInTruncatedLine = contents.endsInTruncatedLine;
    if (!contents.entries.empty()) {
        fileOldest_ = contents.entries.front().time;
    }
    for (ActivityEntry& entry : contents.entries) {
        QByteArray line = entry.toLine();
        kept_.push_back({std::move(entry), std::move(line)});
    }
    dropBeyondBounds();
    constexpr QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                                QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                                QFileDevice::WriteOther | QFileDevice::ExeOther;
    if (QFile::exists(path_) && (QFile::permissions(path_) & others)) {
        QFile::setPermissions(path_, ownerOnly); // kept for the user alone, whoever made it
    }
}

void ActivityRecord::dropBeyondBounds()
{
    const QDateTime oldest = oldestKept(clock_.now());
    while (!kept_.empty() && (qsizetype(kept_.size()) > maxEntries || kept_.front().entry.time < oldest)) {
        kept_.pop_front();
    }
}

void ActivityRecord::record(ActivityRequest request, ActivityOutcome outcome, QString detail)
{
    if (detail.size() > maxDetailChars) {
        detail.truncate(maxDetailChars - 1);
        detail.append(u'\u2026');
    }
    ActivityEntry entry{wholeSeconds(clock_.now()), request, outcome, std::move(detail)};
    QByteArray line = entry.toLine();
    kept_.push_back({entry, line});
    dropBeyondBounds();
    if (!path_.isEmpty()) {
        writing_.start([writer = writer_, line] { writer->append(line); });
        ++fileLines_;
        if (!fileOldest_.isValid()) {
            fileOldest_ = entry.time;
        }
        compactIfDue();
    }
    emit recorded(entry);
}

QList<ActivityEntry> ActivityRecord::entries() const
{
    QList<ActivityEntry> newestFirst;
    newestFirst.reserve(qsizetype(kept_.size()));
    const QDateTime oldest = oldestKept(clock_.now());
    for (auto it = kept_.crbegin(); it != kept_.crend(); ++it) {
        if (it->entry.time >= oldest) {
            newestFirst.append(it->entry);
        }
    }
    return newestFirst;
}

void ActivityRecord::compactIfDue()
{
    const bool tooLong = fileLines_ > qsizetype(kept_.size()) + maxEntries / 4;
    const bool tooOld = fileOldest_.isValid() && fileOldest_ < oldestKept(clock_.now()).addDays(-1);
    if (!tooLong && !tooOld) {
        return;
    }
    QByteArray lines;
    lines.reserve(qsizetype(kept_.size()) * (kept_.empty() ? 0 : kept_.back().line.size() + 16));
    for (const Kept& kept : kept_) {
        lines += kept.line;
    }
    writing_.start([writer = writer_, lines = std::move(lines)] { writer->replace(lines); });
    // Also when the rewrite fails: the next attempt waits until as many lines more were written.
    fileLines_ = qsizetype(kept_.size());
    fileOldest_ = kept_.empty() ? QDateTime() : kept_.front().entry.time;
}

} // namespace nerova

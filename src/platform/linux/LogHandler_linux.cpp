#include "common/LogHandler.h"

#include "common/BuildInfo.h"

#include <QFileInfo>

#include <sys/uio.h>
#include <syslog.h>
// The code location sent is the logging call's, not this file's.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <cstdio>
#include <vector>

namespace nerova {

namespace {

constexpr char journalSocket[] = "/run/systemd/journal/socket";

// Read once at start-up; the handler itself may run on any thread.
bool journalAvailable = false;

int journalPriority(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return LOG_DEBUG;
    case QtInfoMsg: return LOG_INFO;
    case QtWarningMsg: return LOG_WARNING;
    case QtCriticalMsg: return LOG_ERR;
    case QtFatalMsg: return LOG_CRIT;
    }
    return LOG_INFO;
}

bool sendToJournal(const QList<QByteArray>& fields)
{
    std::vector<iovec> parts;
    parts.reserve(fields.size());
    for (const QByteArray& field : fields) {
        parts.push_back(iovec{const_cast<char*>(field.constData()), std::size_t(field.size())});
    }
    return sd_journal_sendv(parts.data(), int(parts.size())) >= 0;
}

void handleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (journalAvailable && sendToJournal(journalFields(type, context, message))) {
        return;
    }
    const QByteArray line = consoleLine(type, context, message);
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
}

} // namespace

QList<QByteArray> journalFields(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QList<QByteArray> fields{
        "MESSAGE=" + message.toUtf8(),
        "PRIORITY=" + QByteArray::number(journalPriority(type)),
        QByteArrayLiteral("SYSLOG_IDENTIFIER=nerova-agent"),
        QByteArray("NEROVA_SUBSYSTEM=") + buildinfo::identifier,
        "NEROVA_CATEGORY=" + logCategoryName(context.category),
    };
    if (context.file) {
        fields.append(QByteArray("CODE_FILE=") + context.file);
        fields.append("CODE_LINE=" + QByteArray::number(context.line));
    }
    if (context.function) {
        fields.append(QByteArray("CODE_FUNC=") + context.function);
    }
    return fields;
}

void installLogHandler()
{
    journalAvailable = QFileInfo::exists(QString::fromLatin1(journalSocket));
    qInstallMessageHandler(&handleMessage);
}

} // namespace nerova

#include "common/LogHandler.h"

#include <QLoggingCategory>
#include <QThread>

#include <atomic>
#include <cstring>

namespace nerova {

namespace {

constexpr char categoryPrefix[] = "nerova.";

} // namespace

bool isOwnCategory(const char* category)
{
    return category && std::strncmp(category, categoryPrefix, sizeof categoryPrefix - 1) == 0;
}

namespace {

const char* levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return "debug";
    case QtInfoMsg: return "info";
    case QtWarningMsg: return "warning";
    case QtCriticalMsg: return "error";
    case QtFatalMsg: return "fault";
    }
    return "info";
}

// The innermost receiver; only its thread's lines go to it.
std::atomic<LogReceiver*> currentReceiver = nullptr;

} // namespace

void enableVerboseLogging() { QLoggingCategory::setFilterRules(QStringLiteral("nerova.*.debug=true")); }

QByteArray logCategoryName(const char* category)
{
    if (!category) {
        return QByteArrayLiteral("default");
    }
    return isOwnCategory(category) ? QByteArray(category + sizeof categoryPrefix - 1) : QByteArray(category);
}

QByteArray consoleLine(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (!isOwnCategory(context.category)) {
        // Qt's own lines read as Qt writes them.
        return qFormatLogMessage(type, context, message).toUtf8() + '\n';
    }
    return "nerova-agent [" + logCategoryName(context.category) + "] " + levelName(type) + ": " + message.toUtf8() +
           '\n';
}

LogReceiver::LogReceiver(Receive receive)
    : receive_(std::move(receive)),
      previousHandler_(qInstallMessageHandler(&LogReceiver::handle)),
      previous_(currentReceiver),
      thread_(QThread::currentThreadId())
{
    currentReceiver = this;
}

LogReceiver::~LogReceiver()
{
    if (currentReceiver == this) {
        currentReceiver = previous_;
        qInstallMessageHandler(previousHandler_);
        return;
    }
    // Not the innermost: the one inside it takes over what this one would have restored.
    for (LogReceiver* inner = currentReceiver; inner; inner = inner->previous_) {
        if (inner->previous_ == this) {
            inner->previous_ = previous_;
            inner->previousHandler_ = previousHandler_;
            return;
        }
    }
}

void LogReceiver::handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // Inner receivers first; what none of this thread's receivers takes goes where it went before them.
    const Qt::HANDLE thread = QThread::currentThreadId();
    QtMessageHandler before = nullptr;
    for (LogReceiver* receiver = currentReceiver; receiver; receiver = receiver->previous_) {
        if (receiver->thread_ == thread && receiver->receive_(type, context.category, message)) {
            return;
        }
        before = receiver->previousHandler_;
    }
    if (before) {
        before(type, context, message);
    }
}

} // namespace nerova

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>

namespace nerova {

// The program's log output. Components log through their own category, "nerova.<Category>", whose
// debug lines are off unless `--verbose` or QT_LOGGING_RULES ("nerova.RulesEngine.debug=true")
// turns them on. Every line goes to the journal when its socket exists, else to standard error as
// "nerova-agent [Category] level: message".
void installLogHandler();

// Turns the debug lines of every "nerova.*" category on.
void enableVerboseLogging();

// Whether `category` is one of the program's own, "nerova.*".
bool isOwnCategory(const char* category);

// "Category" for "nerova.Category"; other categories as they are.
QByteArray logCategoryName(const char* category);

// The journal fields of one line, "NAME=value" each: the message, its priority, the program, the
// subsystem and category, and the code location when it is known.
QList<QByteArray> journalFields(QtMsgType type, const QMessageLogContext& context, const QString& message);

// The line written to standard error, with its newline.
QByteArray consoleLine(QtMsgType type, const QMessageLogContext& context, const QString& message);

// While it lives, the log lines written on this thread go to `receive` first, and on to the
// handler that was installed before only when `receive` returns false: the command line shows the
// stores' errors itself, and tests read the lines back.
class LogReceiver {
public:
    using Receive = std::function<bool(QtMsgType type, const char* category, const QString& message)>;

    explicit LogReceiver(Receive receive);
    ~LogReceiver();
    LogReceiver(const LogReceiver&) = delete;
    LogReceiver& operator=(const LogReceiver&) = delete;

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message);

    Receive receive_;
    QtMessageHandler previousHandler_;
    LogReceiver* previous_;
    Qt::HANDLE thread_;
};

} // namespace nerova

#include "common/LogSink.h"

#include <QByteArray>
#include <QFileInfo>
#include <QLoggingCategory>

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cstdio>
#include <map>
#include <memory>

namespace nerova {

namespace {

constexpr const char* journalSocket = "/run/systemd/journal/socket";

int syslogPriority(LogLevel level)
{
    switch (level) {
    case LogLevel::debug: return LOG_DEBUG;
    case LogLevel::info: return LOG_INFO;
    case LogLevel::error: return LOG_ERR;
    }
    return LOG_INFO;
}

class SystemLogSink final : public LogSink {
public:
    explicit SystemLogSink(bool verbose) : verbose_(verbose), journal_(QFileInfo::exists(journalSocket)) {}

    bool isDebugEnabled(const QString& category) const override
    {
        return verbose_ || loggingCategory(category).isDebugEnabled();
    }

    void write(const LogRecord& record) override
    {
        const QByteArray message = record.message.toUtf8();
        const QByteArray subsystem = record.subsystem.toUtf8();
        const QByteArray category = record.category.toUtf8();
        if (journal_) {
            const int rc =
                sd_journal_send("MESSAGE=%s", message.constData(), "PRIORITY=%i", syslogPriority(record.level),
                                "SYSLOG_IDENTIFIER=nerova-agent", "NEROVA_SUBSYSTEM=%s", subsystem.constData(),
                                "NEROVA_CATEGORY=%s", category.constData(), nullptr);
            if (rc >= 0) {
                return;
            }
        }
        const QByteArray level = logLevelName(record.level).toUtf8();
        std::fprintf(stderr, "nerova-agent [%s] %s: %s\n", category.constData(), level.constData(),
                     message.constData());
    }

private:
    // Debug lines of category C are enabled by the logging rule "nerova.C.debug=true".
    const QLoggingCategory& loggingCategory(const QString& category) const
    {
        auto it = categories_.find(category);
        if (it == categories_.end()) {
            auto entry = std::make_unique<Entry>();
            entry->name = "nerova." + category.toUtf8();
            entry->category = std::make_unique<QLoggingCategory>(entry->name.constData(), QtInfoMsg);
            it = categories_.emplace(category, std::move(entry)).first;
        }
        return *it->second->category;
    }

    struct Entry {
        QByteArray name; // must outlive the category, which keeps a pointer to it
        std::unique_ptr<QLoggingCategory> category;
    };

    bool verbose_;
    bool journal_;
    mutable std::map<QString, std::unique_ptr<Entry>> categories_;
};

} // namespace

std::shared_ptr<LogSink> makeSystemLogSink(bool verbose) { return std::make_shared<SystemLogSink>(verbose); }

} // namespace nerova

#pragma once

#include "EventLoopWaits.h"

// What the benchmarks of the agent's process read from /proc, and how they wait on the event loop.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <unistd.h>

namespace nerova::bench {

struct ProcessUsage {
    double cpuSeconds = 0;
    QHash<qint64, qint64> wakeUps; // context switches of each thread
    qint64 residentKiB = 0;
    qint64 descriptors = 0;
};

inline qint64 statusField(const QString& path, const QByteArray& name)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(name + ':')) {
            return line.mid(name.size() + 1).trimmed().split(' ').first().toLongLong();
        }
    }
    return 0;
}

inline ProcessUsage usageOf(qint64 pid)
{
    ProcessUsage usage;
    const QString base = QStringLiteral("/proc/%1").arg(pid);
    QFile stat(base + QStringLiteral("/stat"));
    if (stat.open(QIODevice::ReadOnly)) {
        // Fields after the command name (which may hold blanks): utime and stime are the 12th and 13th.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        usage.cpuSeconds =
            double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
    }
    for (const QString& task : QDir(base + QStringLiteral("/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString status = base + QStringLiteral("/task/") + task + QStringLiteral("/status");
        usage.wakeUps.insert(task.toLongLong(), statusField(status, "voluntary_ctxt_switches") +
                                                    statusField(status, "nonvoluntary_ctxt_switches"));
    }
    usage.residentKiB = statusField(base + QStringLiteral("/status"), "VmRSS");
    usage.descriptors = QDir(base + QStringLiteral("/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size();
    return usage;
}

// The number after `name` on the command line, else `fallback`.
inline int optionValue(const QStringList& arguments, const QString& name, int fallback)
{
    const qsizetype index = arguments.indexOf(name);
    return index >= 0 && index + 1 < arguments.size() ? arguments[index + 1].toInt() : fallback;
}

} // namespace nerova::bench

// `nerova-agent check FILE --snapshots DIR` as an administrator runs it before publishing a file:
// 200 saved snapshots against a file of 10,000 fingerprints (one internalIp condition each; a
// snapshot of every 50th place matches, the others match none). Goal: the whole command under 5 s
// of CPU time (user and system, so that other work on a shared machine does not count; the wall
// time is reported beside it).
#include "Goals.h"
#include "common/Json.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

#include <sys/resource.h>

using namespace nerova;
using namespace nerova::bench;

namespace {

bool write(const QString& path, const Json& json)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(QByteArray::fromStdString(json.dump())) > 0;
}

// Place i owns 100.(64 + i / 256).(i % 256).0/24.
QString rangeOf(int place) { return QStringLiteral("100.%1.%2.0/24").arg(64 + place / 256).arg(place % 256); }

Json fingerprintFile(int count)
{
    Json fingerprints = Json::array();
    for (int i = 0; i < count; ++i) {
        const Json condition{{"type", "internalIp"},
                             {"arguments", Json::array({{{"name", "cidrRange"}, {"value", toStdString(rangeOf(i))}}})},
                             {"rules", Json::array()},
                             {"inverted", false}};
        fingerprints.push_back(
            {{"fingerprintId", "fp-" + std::to_string(i)},
             {"name", "Place " + std::to_string(i)},
             {"locationPoint", {{"locationId", "site"}}},
             {"rules", Json::array({{{"name", "Range"}, {"conditions", Json::array({condition})}}})}});
    }
    return {{"fingerprintVersion", 1}, {"createdAt", "2026-12-07T08:00:00.000Z"}, {"fingerprints", fingerprints}};
}

Json snapshotAt(int place, bool known)
{
    const QString address = known ? rangeOf(place).replace(QStringLiteral(".0/24"), QStringLiteral(".20"))
                                  : QStringLiteral("192.168.%1.20").arg(place % 250);
    return {
        {"externalIPv4", nullptr},
        {"internalAddresses", Json::array({{{"type", "IPv4"}, {"name", "eth0"}, {"address", toStdString(address)}}})},
        {"externalIPv6", nullptr},
        {"networkInterfaces", Json::array()}};
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    constexpr int fingerprints = 10'000;
    constexpr int snapshots = 200;
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("company.json"));
    const QString folder = dir.filePath(QStringLiteral("places"));
    bool written = dir.isValid() && QDir().mkpath(folder) && write(file, fingerprintFile(fingerprints));
    for (int i = 0; i < snapshots && written; ++i) {
        written = write(QStringLiteral("%1/place-%2.json").arg(folder).arg(i, 3, 10, QLatin1Char('0')),
                        snapshotAt(i * 37, i % 50 == 0));
    }
    if (!written) {
        std::printf("check --snapshots: FAILED, cannot write the inputs\n");
        return 1;
    }
    QProcess check;
    QElapsedTimer timer;
    timer.start();
    check.start(QStringLiteral(NEROVA_AGENT_BINARY),
                {QStringLiteral("check"), file, QStringLiteral("--snapshots"), folder, QStringLiteral("--json")});
    if (!check.waitForFinished(120'000) || check.exitCode() != 0) {
        std::printf("check --snapshots: FAILED, exit %d: %s\n", check.exitCode(),
                    check.readAllStandardError().constData());
        return 1;
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    const Json answers = parseJson(check.readAllStandardOutput());
    int matched = 0;
    for (const Json& answer : answers) {
        matched += answer["match"].is_null() ? 0 : 1;
    }
    std::printf("check --snapshots: %d snapshots against %d fingerprints in %.2f s CPU (%.2f s wall), %d matched "
                "(goal: under 5 s)\n",
                int(answers.size()), fingerprints, cpu, seconds, matched);
    Goals goals;
    goals.check(int(answers.size()) == snapshots && matched == snapshots / 50 && cpu < 5,
                "check --snapshots: 200 snapshots against 10,000 fingerprints under 5 s");
    return goals.exitCode();
}

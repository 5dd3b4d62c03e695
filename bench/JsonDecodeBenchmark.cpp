// JSON decoding time against size: hostile documents of 0.4, 1.2 and 4 MB made of empty objects
// ({"junk":[{},{},...]}) or of one object with many members ({"k0":0,"k1":0,...}), and a fingerprint file of 10,000
// fingerprints (about 3 MB), parsed and decoded whole. Goal: time linear in size, under 100 ms for the 3 MB file.
#include "common/Json.h"
#include "rules/FingerprintFileJson.h"

#include <benchmark/benchmark.h>

using namespace nerova;

namespace {

QByteArray emptyObjects(qsizetype bytes)
{
    return "{\"junk\":[{}" + QByteArray(",{}").repeated((bytes - 12) / 3) + "]}";
}

QByteArray manyKeys(qsizetype bytes)
{
    QByteArray text = "{";
    for (int i = 0; text.size() < bytes; ++i) {
        text += (i ? ",\"k" : "\"k") + QByteArray::number(i) + "\":0";
    }
    return text + "}";
}

QByteArray fingerprintFile(int count)
{
    QByteArray text = R"({"fingerprintVersion":7,"createdAt":"2026-11-30T09:15:00.123Z","fingerprints":[)";
    for (int i = 0; i < count; ++i) {
        text += QStringLiteral(
                    R"(%1{"fingerprintId":"fp-%2","name":"Office %2, level 3","locationPoint":{"locationId":)"
                    R"("site-%2","levelId":"level-3","zoneId":null,"placeId":null},"rules":[{"name":"LAN",)"
                    R"("conditions":[{"type":"internalIp","arguments":[{"name":"cidrRange","value":"10.%3.0.0/16"}],)"
                    R"("rules":[],"inverted":false}]}]})")
                    .arg(i ? QStringLiteral(",") : QString())
                    .arg(i)
                    .arg(i % 256)
                    .toUtf8();
    }
    return text + "]}";
}

void decodeEmptyObjects(benchmark::State& state)
{
    const QByteArray document = emptyObjects(state.range(0) * 1000);
    for (auto _ : state) {
        benchmark::DoNotOptimize(parseJson(document));
    }
    state.counters["MB"] = double(document.size()) / 1e6;
}

void decodeManyKeys(benchmark::State& state)
{
    const QByteArray document = manyKeys(state.range(0) * 1000);
    for (auto _ : state) {
        benchmark::DoNotOptimize(parseJson(document));
    }
    state.counters["MB"] = double(document.size()) / 1e6;
}

void parseTenThousandFingerprints(benchmark::State& state)
{
    const QByteArray document = fingerprintFile(10'000);
    for (auto _ : state) {
        benchmark::DoNotOptimize(parseJson(document));
    }
    state.counters["MB"] = double(document.size()) / 1e6;
}

void decodeTenThousandFingerprints(benchmark::State& state)
{
    const QByteArray document = fingerprintFile(10'000);
    for (auto _ : state) {
        if (decodeFingerprintFile(document, TimestampForm::served).fingerprints.size() != 10'000) {
            state.SkipWithError("not every fingerprint decoded");
            break;
        }
    }
    state.counters["MB"] = double(document.size()) / 1e6;
}

} // namespace

BENCHMARK(decodeEmptyObjects)->Arg(400)->Arg(1200)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(decodeManyKeys)->Arg(400)->Arg(1200)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(parseTenThousandFingerprints)->Unit(benchmark::kMillisecond);
BENCHMARK(decodeTenThousandFingerprints)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

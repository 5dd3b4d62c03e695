// Channels, task groups and the descriptor limit of concurrent work (the probes that use the limiter check it).
#include "common/CancellationToken.h"
#include "common/Channel.h"
#include "common/DescriptorLimit.h"
#include "common/Limiter.h"
#include "common/TaskGroup.h"

#include <QCoro/QCoroTask>
#include <QCoro/QCoroTimer>
#include <QTest>

#include <stdexcept>
#include <sys/resource.h>

using namespace nerova;
using namespace std::chrono;

namespace {

// What a consumer saw: the values, then "end" or "error: <what>".
QCoro::Task<QStringList> drain(std::shared_ptr<Channel<int>> channel)
{
    QStringList seen;
    try {
        while (const auto value = co_await channel->receive()) {
            seen.append(QString::number(*value));
        }
        seen.append(QStringLiteral("end"));
    } catch (const std::exception& error) {
        seen.append(QStringLiteral("error: ") + QString::fromUtf8(error.what()));
    }
    co_return seen;
}

// Waits for one value of a channel that it does not own; sets `ended` when the wait ended without one.
QCoro::Task<> waitOnce(Channel<int>& channel, bool& ended) { ended = !co_await channel.receive(); }

// Sleeps `delayMs` (-1: never suspends), counts itself finished, then fails or yields `index`.
QCoro::Task<int> child(int index, int delayMs, bool fails, int& finished)
{
    if (delayMs >= 0) {
        co_await QCoro::sleepFor(milliseconds(delayMs));
    }
    ++finished;
    if (fails) {
        throw std::runtime_error("child " + std::to_string(index));
    }
    co_return index;
}

// The results in the order handed out, then the error and the children finished when it came.
QCoro::Task<QStringList> consume(QList<int> delays, QList<int> failing)
{
    int finished = 0;
    QStringList seen;
    TaskGroup<int> group;
    for (int i = 0; i < delays.size(); ++i) {
        group.add(child(i, delays[i], failing.contains(i), finished));
    }
    try {
        while (const std::optional<int> result = co_await group.next()) {
            seen.append(QString::number(*result));
        }
    } catch (const std::exception& error) {
        seen.append(QString::fromUtf8(error.what()));
    }
    seen.append(QStringLiteral("%1 finished").arg(finished));
    co_return seen;
}

// Takes a slot of `limiter` and holds it until `release` ends; logs "<name> in" or "<name> cancelled".
QCoro::Task<> holdSlot(Limiter& limiter, QString name, CancellationToken cancellation, Channel<int>& release,
                       QStringList& log)
{
    try {
        const Limiter::Permit permit = co_await limiter.acquire(cancellation);
        log.append(name + QStringLiteral(" in"));
        co_await release.receive();
    } catch (const OperationCancelled&) {
        log.append(name + QStringLiteral(" cancelled"));
    }
}

} // namespace

class ConcurrencyTest : public QObject {
    Q_OBJECT

private slots:
    // Steps before the consumer starts, then while it waits: 1, 2 send values; f finishes; e fails.
    void streams_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QStringList>("seen");
        // clang-format off
        QTest::newRow("buffered values then end") << "12f" << "" << QStringList{"1", "2", "end"};
        QTest::newRow("values while waiting") << "" << "12f" << QStringList{"1", "2", "end"};
        QTest::newRow("values before an error are delivered") << "1e" << "" << QStringList{"1", "error: broken"};
        QTest::newRow("error while waiting") << "" << "e" << QStringList{"error: broken"};
        QTest::newRow("nothing after the end") << "f" << "1e" << QStringList{"end"};
        QTest::newRow("nothing after an error") << "e" << "1f" << QStringList{"error: broken"};
        // clang-format on
    }

    void streams()
    {
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(QStringList, seen);
        const auto channel = std::make_shared<Channel<int>>();
        const auto apply = [&](const QString& steps) {
            for (const QChar step : steps) {
                if (step == u'f') {
                    channel->finish();
                } else if (step == u'e') {
                    channel->fail(std::make_exception_ptr(std::runtime_error("broken")));
                } else {
                    channel->send(step.digitValue());
                }
            }
        };
        apply(before);
        auto consumer = drain(channel);
        apply(after);
        // A waiting consumer resumes from the event loop, never inside send(), finish() or fail().
        QVERIFY(!before.isEmpty() || !consumer.isReady());
        QCOMPARE(QCoro::waitFor(consumer), seen);
        QVERIFY(channel->isFinished());
        QCOMPARE(QCoro::waitFor(drain(channel)), QStringList{seen.last()}); // the end stays, an error is raised again
    }

    // Destroying a channel ends its consumer's wait at once (no leaked coroutine), even with a wake queued.
    void destructionEndsTheWait()
    {
        for (const bool wakeQueued : {false, true}) {
            auto channel = std::make_unique<Channel<int>>();
            bool ended = false;
            auto consumer = waitOnce(*channel, ended);
            if (wakeQueued) {
                channel->send(1);
            }
            channel.reset();
            QVERIFY2(consumer.isReady() && ended, wakeQueued ? "wake queued" : "waiting");
            QCoreApplication::processEvents();
        }
    }

    // Results in completion order; the end or first error only after the last child.
    void completionOrderAndErrors_data()
    {
        QTest::addColumn<QList<int>>("delays");
        QTest::addColumn<QList<int>>("failing");
        QTest::addColumn<QStringList>("seen");
        using L = QList<int>;
        using S = QStringList;
        // clang-format off
        QTest::newRow("completion order, not add order") << L{100, 150, 0} << L{} << S{"2", "0", "1", "3 finished"};
        QTest::newRow("results before the error are handed out") << L{0, 100, 50} << L{2} << S{"0", "child 2", "3 finished"};
        QTest::newRow("first error in completion order wins") << L{100, 50, 0} << L{0, 2} << S{"child 2", "3 finished"};
        QTest::newRow("children that never suspend") << L{-1, -1, -1} << L{} << S{"0", "1", "2", "3 finished"};
        QTest::newRow("empty group") << L{} << L{} << S{"0 finished"};
        // clang-format on
    }

    void completionOrderAndErrors()
    {
        QFETCH(QList<int>, delays);
        QFETCH(QList<int>, failing);
        QFETCH(QStringList, seen);
        QCOMPARE(QCoro::waitFor(consume(delays, failing)), seen);
    }

    // A cancelled token runs each callback still registered once, at once for late registrations;
    // a waiter cancelled in a limiter's queue leaves it, and the slot passes to the next one.
    void cancellation()
    {
        CancellationSource source;
        QStringList log;
        const CancellationToken::Registration first = source.token().onCancel([&] { log.append("first"); });
        CancellationToken::Registration dropped = source.token().onCancel([&] { log.append("dropped"); });
        dropped.reset();
        source.cancel();
        source.cancel();
        const CancellationToken::Registration late = source.token().onCancel([&] { log.append("late"); });
        QCOMPARE(log, (QStringList{"first", "late"}));
        QVERIFY(source.token().isCancelled() && !CancellationToken().isCancelled());

        log.clear();
        Limiter limiter(1);
        CancellationSource waiting;
        Channel<int> release;
        const QCoro::Task<> a = holdSlot(limiter, "a", {}, release, log);
        const QCoro::Task<> b = holdSlot(limiter, "b", waiting.token(), release, log);
        const QCoro::Task<> c = holdSlot(limiter, "c", {}, release, log);
        waiting.cancel();
        QTRY_COMPARE(log, (QStringList{"a in", "b cancelled"}));
        release.send(0); // a leaves, c takes the slot
        QTRY_COMPARE(log, (QStringList{"a in", "b cancelled", "c in"}));
        release.finish();
        QTRY_VERIFY(a.isReady() && b.isReady() && c.isReady());
    }

    void descriptorLimit()
    {
        rlimit limit{};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
        if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max < 64) {
            QSKIP("the hard descriptor limit is unusual here");
        }
        rlimit lowered{limit.rlim_max / 2, limit.rlim_max};
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &lowered) == 0);
        QCOMPARE(raiseDescriptorLimit(), std::int64_t(limit.rlim_max));
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
        QCOMPARE(limit.rlim_cur, limit.rlim_max);
    }
};

QTEST_GUILESS_MAIN(ConcurrencyTest)
#include "ConcurrencyTest.moc"

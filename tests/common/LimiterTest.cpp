#include "common/Limiter.h"
#include "common/DescriptorLimit.h"
#include "common/TaskGroup.h"

#include <QCoro/QCoroTimer>
#include <QTest>

#include <chrono>
#include <sys/resource.h>
#include <unistd.h>

using namespace nerova;

namespace {

struct Holders {
    QList<int> started; // in the order the holders got their slots
    int running = 0;
    int mostAtOnce = 0;
};

QCoro::Task<int> hold(Limiter& limiter, Holders& holders, int index, int milliseconds)
{
    const Limiter::Permit permit = co_await limiter.acquire();
    holders.started.append(index);
    holders.mostAtOnce = std::max(holders.mostAtOnce, ++holders.running);
    co_await QCoro::sleepFor(std::chrono::milliseconds(milliseconds));
    --holders.running;
    co_return index;
}

QCoro::Task<Holders> holdAll(std::size_t capacity, QList<int> durations)
{
    Limiter limiter(capacity);
    Holders holders;
    TaskGroup<int> group;
    for (int i = 0; i < durations.size(); ++i) {
        group.add(hold(limiter, holders, i, durations[i]));
    }
    while (co_await group.next()) {
    }
    co_return holders;
}

} // namespace

class LimiterTest : public QObject {
    Q_OBJECT

private slots:
    void holders_data()
    {
        QTest::addColumn<int>("capacity");
        QTest::addColumn<QList<int>>("durations"); // of each holder, in milliseconds
        QTest::addColumn<int>("mostAtOnce");
        QTest::addColumn<QList<int>>("started");

        QTest::newRow("fewer holders than slots") << 3 << QList<int>{20, 10} << 2 << QList<int>{0, 1};
        // The second slot frees first, so holder 2 runs beside holder 0; then 3 and 4 in turn.
        QTest::newRow("waiters take freed slots in arrival order")
            << 2 << QList<int>{60, 10, 10, 10, 10} << 2 << QList<int>{0, 1, 2, 3, 4};
        QTest::newRow("one slot: one at a time") << 1 << QList<int>{10, 0, 10} << 1 << QList<int>{0, 1, 2};
        QTest::newRow("no capacity still lets one run") << 0 << QList<int>{0, 0} << 1 << QList<int>{0, 1};
    }

    void holders()
    {
        QFETCH(int, capacity);
        QFETCH(QList<int>, durations);
        QFETCH(int, mostAtOnce);
        QFETCH(QList<int>, started);

        const Holders holders = QCoro::waitFor(holdAll(std::size_t(capacity), durations));
        QCOMPARE(holders.mostAtOnce, mostAtOnce);
        QCOMPARE(holders.started, started);
        QCOMPARE(holders.running, 0);
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

        const std::int64_t before = descriptorsLeft();
        const int descriptor = ::dup(0);
        QCOMPARE(descriptorsLeft(), before - 1);
        ::close(descriptor);
    }
};

QTEST_GUILESS_MAIN(LimiterTest)
#include "LimiterTest.moc"

#include "common/TaskGroup.h"

#include <QCoro/QCoroTimer>
#include <QTest>

#include <chrono>
#include <stdexcept>

using namespace nerova;
using namespace std::chrono_literals;

namespace {

// A door that a child waits at until the test opens it; lets the test choose the order in which
// children finish without relying on timers. (QCoro copies awaited lvalues, hence the Waiter.)
class Gate {
public:
    class Waiter {
    public:
        explicit Waiter(Gate& gate) : gate_(gate) {}
        bool await_ready() const noexcept { return gate_.open_; }
        void await_suspend(std::coroutine_handle<> waiter) noexcept { gate_.waiter_ = waiter; }
        void await_resume() const noexcept {}

    private:
        Gate& gate_;
    };

    Waiter wait() { return Waiter(*this); }

    void open()
    {
        open_ = true;
        if (waiter_) {
            std::exchange(waiter_, nullptr).resume();
        }
    }

private:
    bool open_ = false;
    std::coroutine_handle<> waiter_;
};

struct Run {
    QList<int> results;
    QString error;
    bool done = false;
    int finishedWhenDone = -1; // children finished at the moment the consumer saw the end or the error
};

QCoro::Task<int> child(int index, Gate& gate, bool fails, int& finished)
{
    co_await gate.wait();
    ++finished;
    if (fails) {
        throw std::runtime_error("child " + std::to_string(index));
    }
    co_return index;
}

QCoro::Task<void> consume(QList<Gate>& gates, QList<int> failing, int& finished, Run& run)
{
    TaskGroup<int> group;
    for (int i = 0; i < gates.size(); ++i) {
        group.add(child(i, gates[i], failing.contains(i), finished));
    }
    try {
        while (const std::optional<int> result = co_await group.next()) {
            run.results.append(*result);
        }
    } catch (const std::exception& error) {
        run.error = QString::fromUtf8(error.what());
    }
    run.finishedWhenDone = finished;
    run.done = true;
}

QCoro::Task<int> sleeper(std::chrono::milliseconds delay, bool fails, QList<int>& finishedOrder, int index)
{
    co_await QCoro::sleepFor(delay);
    finishedOrder.append(index);
    if (fails) {
        throw std::runtime_error("sleeper failed");
    }
    co_return index;
}

} // namespace

class TaskGroupTest : public QObject {
    Q_OBJECT

private slots:
    void completionOrderAndErrors_data()
    {
        QTest::addColumn<QList<int>>("openOrder");
        QTest::addColumn<QList<int>>("failing");
        QTest::addColumn<QList<int>>("expectedResults");
        QTest::addColumn<QString>("expectedError");

        QTest::newRow("completion order, not add order")
            << QList<int>{2, 0, 1} << QList<int>{} << QList<int>{2, 0, 1} << "";
        QTest::newRow("add order when finishing in order")
            << QList<int>{0, 1, 2} << QList<int>{} << QList<int>{0, 1, 2} << "";
        QTest::newRow("error first: nothing handed out after it")
            << QList<int>{1, 0, 2} << QList<int>{1} << QList<int>{} << "child 1";
        QTest::newRow("results before the error are handed out")
            << QList<int>{0, 2, 1} << QList<int>{2} << QList<int>{0} << "child 2";
        QTest::newRow("error of the last child")
            << QList<int>{0, 1, 2} << QList<int>{2} << QList<int>{0, 1} << "child 2";
        QTest::newRow("first error in completion order wins")
            << QList<int>{2, 1, 0} << QList<int>{0, 2} << QList<int>{} << "child 2";
        QTest::newRow("single child") << QList<int>{0} << QList<int>{} << QList<int>{0} << "";
    }

    void completionOrderAndErrors()
    {
        QFETCH(QList<int>, openOrder);
        QFETCH(QList<int>, failing);
        QFETCH(QList<int>, expectedResults);
        QFETCH(QString, expectedError);

        QList<Gate> gates(openOrder.size());
        int finished = 0;
        Run run;
        QCoro::Task<void> consumer = consume(gates, failing, finished, run);
        for (const int index : openOrder) {
            QVERIFY2(!run.done, "the consumer ended before every child finished");
            gates[index].open();
        }
        QVERIFY(run.done);
        QCOMPARE(run.results, expectedResults);
        QCOMPARE(run.error, expectedError);
        QCOMPARE(run.finishedWhenDone, int(openOrder.size()));
    }

    void synchronousChildrenAreReadyAtOnce()
    {
        QList<Gate> gates(3);
        for (Gate& gate : gates) {
            gate.open();
        }
        int finished = 0;
        Run run;
        QCoro::Task<void> consumer = consume(gates, {}, finished, run);
        QVERIFY(run.done);
        QCOMPARE(run.results, (QList<int>{0, 1, 2}));
    }

    void emptyGroupEndsAtOnce()
    {
        QList<Gate> gates;
        int finished = 0;
        Run run;
        QCoro::Task<void> consumer = consume(gates, {}, finished, run);
        QVERIFY(run.done);
        QVERIFY(run.results.isEmpty());
        QVERIFY(run.error.isEmpty());
    }

    // On the event loop: a fast failing child does not end the group while slower ones run.
    void errorWaitsForSlowChildrenOnTheEventLoop()
    {
        QList<int> finishedOrder;
        const auto parent = [&]() -> QCoro::Task<QString> {
            TaskGroup<int> group;
            group.add(sleeper(200ms, false, finishedOrder, 0));
            group.add(sleeper(1ms, true, finishedOrder, 1));
            group.add(sleeper(100ms, false, finishedOrder, 2));
            try {
                while (co_await group.next()) {
                }
            } catch (const std::exception& error) {
                co_return QString::fromUtf8(error.what()) + QStringLiteral(" with %1 running").arg(group.running());
            }
            co_return QString();
        };
        QCOMPARE(QCoro::waitFor(parent()), QStringLiteral("sleeper failed with 0 running"));
        QCOMPARE(finishedOrder.size(), 3);
        QCOMPARE(finishedOrder.first(), 1);
    }

    void moveOnlyResults()
    {
        const auto parent = []() -> QCoro::Task<int> {
            TaskGroup<std::unique_ptr<int>> group;
            for (int i = 1; i <= 3; ++i) {
                group.add([](int value) -> QCoro::Task<std::unique_ptr<int>> {
                    co_await QCoro::sleepFor(1ms);
                    co_return std::make_unique<int>(value);
                }(i));
            }
            int sum = 0;
            while (std::optional<std::unique_ptr<int>> result = co_await group.next()) {
                sum += **result;
            }
            co_return sum;
        };
        QCOMPARE(QCoro::waitFor(parent()), 6);
    }
};

QTEST_GUILESS_MAIN(TaskGroupTest)
#include "TaskGroupTest.moc"

#include "common/TaskGroup.h"

#include <QCoro/QCoroTimer>
#include <QTest>

#include <chrono>
#include <stdexcept>

using namespace nerova;

namespace {

struct Run {
    QList<int> results;
    QString error;
    int finishedWhenDone = -1; // children finished when the consumer saw the end or the error
};

QCoro::Task<int> child(int index, int delayMs, bool fails, int& finished)
{
    if (delayMs >= 0) {
        co_await QCoro::sleepFor(std::chrono::milliseconds(delayMs));
    }
    ++finished;
    if (fails) {
        throw std::runtime_error("child " + std::to_string(index));
    }
    co_return index;
}

QCoro::Task<Run> consume(QList<int> delays, QList<int> failing)
{
    int finished = 0;
    Run run;
    TaskGroup<int> group;
    for (int i = 0; i < delays.size(); ++i) {
        group.add(child(i, delays[i], failing.contains(i), finished));
    }
    try {
        while (const std::optional<int> result = co_await group.next()) {
            run.results.append(*result);
        }
    } catch (const std::exception& error) {
        run.error = QString::fromUtf8(error.what());
    }
    run.finishedWhenDone = finished;
    co_return run;
}

} // namespace

class TaskGroupTest : public QObject {
    Q_OBJECT

private slots:
    // Children finish after their delays (-1: at once, without suspending). The consumer gets the
    // results in completion order and sees the end or the first error only after the last child.
    void completionOrderAndErrors_data()
    {
        QTest::addColumn<QList<int>>("delays");
        QTest::addColumn<QList<int>>("failing");
        QTest::addColumn<QList<int>>("expectedResults");
        QTest::addColumn<QString>("expectedError");

        using L = QList<int>;
        // clang-format off
        QTest::newRow("completion order, not add order") << L{100, 150, 0} << L{} << L{2, 0, 1} << "";
        QTest::newRow("error first: nothing handed out after it") << L{50, 0, 100} << L{1} << L{} << "child 1";
        QTest::newRow("results before the error are handed out") << L{0, 100, 50} << L{2} << L{0} << "child 2";
        QTest::newRow("first error in completion order wins") << L{100, 50, 0} << L{0, 2} << L{} << "child 2";
        QTest::newRow("children that never suspend") << L{-1, -1, -1} << L{} << L{0, 1, 2} << "";
        QTest::newRow("empty group") << L{} << L{} << L{} << "";
        // clang-format on
    }

    void completionOrderAndErrors()
    {
        QFETCH(QList<int>, delays);
        QFETCH(QList<int>, failing);
        QFETCH(QList<int>, expectedResults);
        QFETCH(QString, expectedError);

        const Run run = QCoro::waitFor(consume(delays, failing));
        QCOMPARE(run.results, expectedResults);
        QCOMPARE(run.error, expectedError);
        QCOMPARE(run.finishedWhenDone, int(delays.size()));
    }
};

QTEST_GUILESS_MAIN(TaskGroupTest)
#include "TaskGroupTest.moc"

#include "common/Channel.h"

#include <QCoro/QCoroTask>
#include <QTest>

#include <stdexcept>

using namespace nerova;

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

// Waits for one value of a channel that it does not own; tells whether the wait ended without one.
QCoro::Task<bool> waitOnce(Channel<int>& channel, bool& ended)
{
    const std::optional<int> value = co_await channel.receive();
    ended = !value;
    co_return ended;
}

} // namespace

class ChannelTest : public QObject {
    Q_OBJECT

private slots:
    // Steps before the consumer starts, then steps after it is waiting (each after a turn of the
    // event loop): 1, 2 send values; f finishes; e fails.
    void streams_data()
    {
        // clang-format off
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QStringList>("seen");

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
        const auto apply = [&](QChar step) {
            if (step == u'f') {
                channel->finish();
            } else if (step == u'e') {
                channel->fail(std::make_exception_ptr(std::runtime_error("broken")));
            } else {
                channel->send(step.digitValue());
            }
        };
        for (const QChar step : before) {
            apply(step);
        }
        auto consumer = drain(channel);
        for (const QChar step : after) {
            QTest::qWait(1);
            apply(step);
        }
        QCOMPARE(QCoro::waitFor(consumer), seen);
        QVERIFY(channel->isFinished());
        QCOMPARE(QCoro::waitFor(drain(channel)), QStringList{seen.last()}); // the end stays, an error is raised again
    }

    // The consumer is resumed from the event loop, not from inside send() or finish(): a producer
    // can end the stream from its own callbacks without the consumer running in between.
    void consumerResumesLater()
    {
        const auto channel = std::make_shared<Channel<int>>();
        auto consumer = drain(channel);
        channel->send(1);
        channel->finish();
        QVERIFY(!consumer.isReady());
        QCOMPARE(QCoro::waitFor(consumer), (QStringList{"1", "end"}));
    }

    // A channel destroyed while its consumer waits (even with a wake queued) ends that wait at
    // once, so the consumer's coroutines finish instead of leaking; the queued wake does nothing.
    void destructionEndsTheWait_data()
    {
        QTest::addColumn<bool>("wakeQueued");
        QTest::newRow("waiting") << false;
        QTest::newRow("wake queued") << true;
    }
    void destructionEndsTheWait()
    {
        QFETCH(bool, wakeQueued);
        auto channel = std::make_unique<Channel<int>>();
        bool ended = false;
        auto consumer = waitOnce(*channel, ended);
        if (wakeQueued) {
            channel->send(1);
        }
        channel.reset();
        QVERIFY(consumer.isReady());
        QVERIFY(ended);
        QCoreApplication::processEvents();
    }
};

QTEST_GUILESS_MAIN(ChannelTest)
#include "ChannelTest.moc"

// Real ICMP sockets, in a network namespace of the test's own: loopback, a host that never
// answers, and both the datagram and the raw socket path, chosen through the same sysctl that
// decides it on a user's machine.
#include "network/SimplePinger.h"
#include "network/PingError.h"
#include "support/PrivateNetwork.h"

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QTest>

using namespace nerova;

namespace {

// The system's sockets, with a record of the kinds opened.
class RecordingSockets final : public IcmpSocketApi {
public:
    QList<IcmpSocketKind> opened;

    int open(QAbstractSocket::NetworkLayerProtocol family, IcmpSocketKind kind) override
    {
        const int descriptor = system_->open(family, kind);
        if (descriptor >= 0) {
            opened.append(kind);
        }
        return descriptor;
    }
    int connect(int descriptor, const QHostAddress& address) override { return system_->connect(descriptor, address); }
    std::optional<quint16> localIdentifier(int descriptor) override { return system_->localIdentifier(descriptor); }
    qint64 send(int descriptor, QByteArrayView packet) override { return system_->send(descriptor, packet); }
    qint64 receive(int descriptor, QByteArray& buffer) override { return system_->receive(descriptor, buffer); }
    void close(int descriptor) override { system_->close(descriptor); }
    QString refusalReason() override { return system_->refusalReason(); }

private:
    std::shared_ptr<IcmpSocketApi> system_ = systemIcmpSocketApi();
};

QCoro::Task<QString> outcome(SimplePinger& pinger, QString host, double timeout)
{
    try {
        const double seconds = co_await pinger.ping(host, timeout);
        co_return seconds >= 0 && seconds < timeout ? QStringLiteral("reply") : QStringLiteral("odd time");
    } catch (const PingError& error) {
        co_return error.description();
    }
}

const QByteArray everyGroup = "0 2147483647";
const QByteArray noGroup = "1 0";

} // namespace

Q_DECLARE_METATYPE(IcmpSocketKind)

class SimplePingerTest : public QObject {
    Q_OBJECT

public:
    explicit SimplePingerTest(std::optional<QString> isolationFailure) : isolationFailure_(std::move(isolationFailure))
    {}

private slots:
    void init()
    {
        if (isolationFailure_) {
            QSKIP(qPrintable(*isolationFailure_));
        }
    }

    void loopback_data()
    {
        // clang-format off
        QTest::addColumn<QString>("host");
        QTest::addColumn<QByteArray>("pingGroups");
        QTest::addColumn<IcmpSocketKind>("kind");

        QTest::newRow("IPv4 datagram socket") << "127.0.0.1" << everyGroup << IcmpSocketKind::datagram;
        QTest::newRow("IPv6 datagram socket") << "::1" << everyGroup << IcmpSocketKind::datagram;
        QTest::newRow("IPv4 raw socket when datagram sockets are refused") << "127.0.0.1" << noGroup << IcmpSocketKind::raw;
        QTest::newRow("IPv6 raw socket when datagram sockets are refused") << "::1" << noGroup << IcmpSocketKind::raw;
        // clang-format on
    }

    void loopback()
    {
        QFETCH(QString, host);
        QFETCH(QByteArray, pingGroups);
        QFETCH(IcmpSocketKind, kind);

        if (const auto failure = test::writeSysctl(QStringLiteral("net/ipv4/ping_group_range"), pingGroups)) {
            QSKIP(qPrintable(*failure));
        }
        const auto sockets = std::make_shared<RecordingSockets>();
        SimplePinger pinger(sockets);
        for (int round = 0; round < 2; ++round) { // a pinger is reusable once a ping has ended
            QCOMPARE(QCoro::waitFor(outcome(pinger, host, 5)), QStringLiteral("reply"));
        }
        QCOMPARE(sockets->opened, (QList<IcmpSocketKind>{kind, kind}));
    }

    void refusalSaysWhy()
    {
        if (const auto failure = test::writeSysctl(QStringLiteral("net/ipv4/ping_group_range"), noGroup)) {
            QSKIP(qPrintable(*failure));
        }
        const QString reason = systemIcmpSocketApi()->refusalReason();
        QVERIFY2(reason.contains(QLatin1String("net.ipv4.ping_group_range is \"1 0\", which allows no group at all")),
                 qPrintable(reason));
        QVERIFY2(reason.contains(QLatin1String("CAP_NET_RAW")), qPrintable(reason));
    }

    void unresolvableName()
    {
        // Nothing leaves the private namespace, so the name fails at once instead of after the timeout.
        SimplePinger pinger;
        QElapsedTimer clock;
        clock.start();
        const QString result = QCoro::waitFor(outcome(pinger, QStringLiteral("nonexistent.invalid"), 60));
        QVERIFY2(result.startsWith(QLatin1String("failed(hostResolution(2, ")), qPrintable(result));
        QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
    }

    void silentHost_data()
    {
        QTest::addColumn<QByteArray>("pingGroups");
        QTest::newRow("datagram socket") << everyGroup;
        QTest::newRow("raw socket") << noGroup;
    }

    void silentHost()
    {
        QFETCH(QByteArray, pingGroups);
        if (const auto failure = test::writeSysctl(QStringLiteral("net/ipv4/ping_group_range"), pingGroups)) {
            QSKIP(qPrintable(*failure));
        }
        const test::SilentHost host;
        if (host.error()) {
            QSKIP(qPrintable(*host.error()));
        }
        SimplePinger pinger;
        QElapsedTimer clock;
        clock.start();
        auto ping = outcome(pinger, QString::fromLatin1(test::SilentHost::address), 1.0);
        auto second = outcome(pinger, QStringLiteral("127.0.0.1"), 60); // must not lengthen the running ping
        QVERIFY(second.isReady());
        QCOMPARE(QCoro::waitFor(second), QStringLiteral("alreadyPinging"));
        QCOMPARE(QCoro::waitFor(ping), QStringLiteral("timedOut"));
        // Timers are coarse and the machine may be loaded: only the order of magnitude is checked.
        QVERIFY2(clock.elapsed() >= 800 && clock.elapsed() < 15000, qPrintable(QString::number(clock.elapsed())));
    }

private:
    std::optional<QString> isolationFailure_;
};

int main(int argc, char* argv[])
{
    // Before QCoreApplication and any thread, so that every thread (the resolver's included)
    // lives in the private namespace.
    std::optional<QString> isolationFailure = nerova::test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    SimplePingerTest test(std::move(isolationFailure));
    return QTest::qExec(&test, argc, argv);
}

#include "SimplePingerTest.moc"

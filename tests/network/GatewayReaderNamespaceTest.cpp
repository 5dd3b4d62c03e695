// The gateway reader and the netlink change source in a network namespace of the test's own, with
// a second namespace on the other end of a veth pair acting as the gateway.
#include "platform/linux/GatewayReader_linux.h"
#include "platform/linux/SystemSources_linux.h"
#include "support/PrivateNetwork.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <QCoro/QCoroTask>

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace nerova;

namespace {

constexpr std::chrono::milliseconds resolveWait{300};
const QString peerMac = QStringLiteral("02:00:00:47:57:01");
const QString tableMac = QStringLiteral("02:00:00:47:57:99"); // written into the table, answered by nobody
std::optional<QString> isolationFailure;                      // set in main()

std::optional<QString> runSteps(const QList<QStringList>& steps)
{
    for (const QStringList& step : steps) {
        if (std::optional<QString> failure = test::runIp(step)) {
            return failure;
        }
    }
    return std::nullopt;
}

bool operational(const QStringList& showLink)
{
    QProcess ip;
    ip.start(QStringLiteral("ip"), showLink);
    return ip.waitForFinished() && ip.readAllStandardOutput().contains(" state UP ");
}

QString describe(const std::vector<Gateway>& gateways)
{
    QStringList lines;
    for (const Gateway& gateway : gateways) {
        lines << QStringLiteral("%1 %2 %3%4")
                     .arg(gateway.name, gateway.address.value_or("-"), gateway.hardwareAddress.value_or("-"),
                          gateway.tunnel ? " tunnel" : "");
    }
    return lines.join(u"; ");
}

} // namespace

Q_DECLARE_METATYPE(std::vector<Gateway>)

class GatewayReaderNamespaceTest : public QObject {
    Q_OBJECT

    QString peer_ = QStringLiteral("nerova-gw-%1").arg(QCoreApplication::applicationPid());
    bool peerCreated_ = false;
    int tunnel_ = -1; // keeps tun7 alive and with carrier

private slots:
    void initTestCase()
    {
        if (isolationFailure) {
            QSKIP(qPrintable(*isolationFailure));
        }
        if (std::optional<QString> failure = test::runIp({"netns", "add", peer_})) {
            QSKIP(qPrintable(*failure));
        }
        peerCreated_ = true;
        // gw0 leads to the gateway namespace; dn0 has lost its carrier (its peer dn1 is down).
        const std::optional<QString> failure = runSteps({
            {"link", "add", "gw0", "type", "veth", "peer", "name", "gwp", "address", peerMac, "netns", peer_},
            {"link", "set", "gw0", "addrgenmode", "none"},
            {"addr", "add", "10.88.0.1/24", "dev", "gw0"},
            {"-6", "addr", "add", "fe80::2/64", "dev", "gw0", "nodad"},
            {"link", "set", "gw0", "up"},
            {"-n", peer_, "link", "set", "gwp", "addrgenmode", "none"},
            {"-n", peer_, "addr", "add", "10.88.0.2/24", "dev", "gwp"},
            {"-n", peer_, "-6", "addr", "add", "fe80::1/64", "dev", "gwp", "nodad"},
            {"-n", peer_, "link", "set", "gwp", "up"},
            {"link", "add", "dn0", "type", "veth", "peer", "name", "dn1"},
            {"link", "set", "dn0", "addrgenmode", "none"},
            {"addr", "add", "10.99.0.1/24", "dev", "dn0"},
            {"link", "set", "dn1", "addrgenmode", "none"},
            {"link", "set", "dn0", "up"},
            {"link", "set", "dn1", "up"},
        });
        if (failure) {
            QSKIP(qPrintable(*failure));
        }
        // The kernel readies a link that got its carrier a moment later (up to a second).
        QTRY_VERIFY(operational({"-o", "link", "show", "gw0"}));
        QTRY_VERIFY(operational({"-n", peer_, "-o", "link", "show", "gwp"}));
    }

    void cleanupTestCase()
    {
        if (tunnel_ >= 0) {
            ::close(tunnel_);
        }
        if (peerCreated_) {
            test::runIp({"netns", "del", peer_}); // takes gw0 with it
        }
    }

    // Each row changes the network from where the previous row left it and reads the whole list.
    void read_data()
    {
        QTest::addColumn<QList<QStringList>>("change");
        QTest::addColumn<std::vector<Gateway>>("expected");
        const Gateway v4{"gw0", "10.88.0.2", peerMac, false};
        const Gateway silent{"gw0", "10.88.0.9", std::nullopt, false};
        const Gateway v6{"gw0", "fe80::1", peerMac, false};
        const Gateway tunnel{"tun7", std::nullopt, std::nullopt, true};

        QTest::newRow("entry in the table is used as it is")
            << QList<QStringList>{{"route", "add", "default", "via", "10.88.0.2", "dev", "gw0", "metric", "100"},
                                  {"neigh", "replace", "10.88.0.2", "lladdr", tableMac, "dev", "gw0", "nud",
                                   "permanent"}}
            << std::vector<Gateway>{{"gw0", "10.88.0.2", tableMac, false}};
        QTest::newRow("missing entry is resolved")
            << QList<QStringList>{{"neigh", "flush", "dev", "gw0", "nud", "all"}} << std::vector<Gateway>{v4};
        QTest::newRow("stale entry is asked again")
            << QList<QStringList>{{"neigh", "change", "10.88.0.2", "lladdr", peerMac, "dev", "gw0", "nud", "stale"}}
            << std::vector<Gateway>{v4};
        QTest::newRow("silent gateway has no hardware address")
            << QList<QStringList>{{"route", "append", "default", "via", "10.88.0.9", "dev", "gw0", "metric", "200"}}
            << std::vector<Gateway>{v4, silent};
        QTest::newRow("IPv6 link-local gateway without zone, by metric among IPv4")
            << QList<QStringList>{{"-6", "route", "add", "default", "via", "fe80::1", "dev", "gw0", "metric", "150"}}
            << std::vector<Gateway>{v4, v6, silent};
        QTest::newRow("tunnel first by metric")
            << QList<QStringList>{{"link", "set", "tun7", "addrgenmode", "none"},
                                  {"link", "set", "tun7", "up"},
                                  {"route", "append", "default", "dev", "tun7", "metric", "50"}}
            << std::vector<Gateway>{tunnel, v4, v6, silent};
        QTest::newRow("link without carrier left out")
            << QList<QStringList>{{"route", "append", "default", "via", "10.99.0.2", "dev", "dn0", "metric", "10"},
                                  {"link", "set", "dn1", "down"}}
            << std::vector<Gateway>{tunnel, v4, v6, silent};
    }

    void read()
    {
        QFETCH(QList<QStringList>, change);
        QFETCH(std::vector<Gateway>, expected);
        if (change.front().contains("tun7")) {
            // A tun device has a carrier while a process holds it open.
            tunnel_ = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
            ifreq request{};
            request.ifr_flags = IFF_TUN | IFF_NO_PI;
            std::strncpy(request.ifr_name, "tun7", IFNAMSIZ - 1);
            QVERIFY2(tunnel_ >= 0 && ::ioctl(tunnel_, TUNSETIFF, &request) == 0, std::strerror(errno));
        }
        if (std::optional<QString> failure = runSteps(change)) {
            QFAIL(qPrintable(*failure));
        }
        const GatewayReader reader(resolveWait);
        QElapsedTimer clock;
        clock.start();
        const std::vector<Gateway> gateways = QCoro::waitFor(reader.read());
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(gateways == expected, qPrintable(describe(gateways)));
        // A silent gateway costs the wait, not the kernel's seconds of retries.
        QVERIFY2(elapsed < 2000, qPrintable(QString::number(elapsed)));
    }

    // Changes of default routes and of a gateway's link-layer address call the trigger; the aging
    // of the gateway's neighbour entry, its return with the same address after a flush, a default
    // route renewed unchanged, and routes elsewhere do not.
    void changeSource()
    {
        int triggers = 0;
        const std::unique_ptr<NetworkChangeSource> source = makeNetlinkChangeSource([&triggers] { ++triggers; });
        QVERIFY(source);
        const std::pair<QStringList, bool> rows[] = {
            {{"neigh", "replace", "10.88.0.2", "lladdr", peerMac, "dev", "gw0", "nud", "stale"}, false},
            {{"neigh", "replace", "10.88.0.2", "lladdr", peerMac, "dev", "gw0", "nud", "reachable"}, false},
            {{"neigh", "del", "10.88.0.2", "dev", "gw0"}, false},
            {{"neigh", "replace", "10.88.0.2", "lladdr", peerMac, "dev", "gw0", "nud", "reachable"}, false},
            {{"route", "add", "10.55.0.0/16", "via", "10.88.0.2", "dev", "gw0"}, false},
            // a default route renewed as it was, as router advertisements renew theirs
            {{"route", "replace", "default", "via", "10.88.0.2", "dev", "gw0", "metric", "100"}, false},
            {{"route", "append", "default", "via", "10.88.0.3", "dev", "gw0", "metric", "300"}, true},
            {{"neigh", "replace", "10.88.0.3", "lladdr", tableMac, "dev", "gw0", "nud", "permanent"}, true},
            {{"neigh", "replace", "10.88.0.3", "lladdr", peerMac, "dev", "gw0", "nud", "permanent"}, true},
            {{"route", "del", "default", "via", "10.88.0.3", "dev", "gw0", "metric", "300"}, true},
            {{"neigh", "replace", "10.88.0.3", "lladdr", tableMac, "dev", "gw0", "nud", "permanent"}, false},
        };
        for (const auto& [change, triggered] : rows) {
            const int before = triggers;
            if (const std::optional<QString> failure = test::runIp(change)) {
                QFAIL(qPrintable(*failure));
            }
            if (triggered) {
                QTRY_VERIFY2(triggers > before, qPrintable(change.join(u' ')));
            } else {
                QTest::qWait(300);
                QVERIFY2(triggers == before, qPrintable(change.join(u' ')));
            }
        }
    }
};

int main(int argc, char* argv[])
{
    isolationFailure = nerova::test::enterPrivateNetwork();
    QCoreApplication app(argc, argv);
    GatewayReaderNamespaceTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "GatewayReaderNamespaceTest.moc"

// NetworkManager and systemd-resolved as stand-ins on a private bus: the Wi-Fi networks and DNS
// domains read from them, what is read without them, and one context per change of access point.
#include "NetworkHarness.h"
#include "common/LogHandler.h"
#include "platform/linux/DnsDomainReader_linux.h"
#include "platform/linux/WirelessReader_linux.h"
#include "support/TestSupport.h"

#include <QCoro/QCoroTask>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QTest>

using namespace nerova;

namespace {

constexpr std::chrono::milliseconds debounce{300};
const QString networkManager = QStringLiteral("org.freedesktop.NetworkManager");
const QString resolved = QStringLiteral("org.freedesktop.resolve1");
const QString devicePath = QStringLiteral("/org/freedesktop/NetworkManager/Devices/");
const QString wirelessInterface = QStringLiteral("org.freedesktop.NetworkManager.Device.Wireless");

// One entry of resolved's Domains: link index, domain, route-only.
struct ResolvedDomain {
    int link = 0;
    QString domain;
    bool routeOnly = false;
};

QDBusArgument& operator<<(QDBusArgument& argument, const ResolvedDomain& entry)
{
    argument.beginStructure();
    argument << entry.link << entry.domain << entry.routeOnly;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, ResolvedDomain& entry)
{
    argument.beginStructure();
    argument >> entry.link >> entry.domain >> entry.routeOnly;
    argument.endStructure();
    return argument;
}

// The objects of both services below /org/freedesktop: their properties by path and interface
// (Get, GetAll), and NetworkManager's GetDevices. Anything else is an unknown object.
class StandIns final : public QDBusVirtualObject {
public:
    QMap<QString, QMap<QString, QVariantMap>> objects;
    QList<QDBusObjectPath> devices;

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override
    {
        const QVariantMap properties = objects.value(message.path()).value(message.arguments().value(0).toString());
        const QString name = message.arguments().value(1).toString();
        QDBusMessage reply = message.createErrorReply(QDBusError::UnknownObject, QStringLiteral("nothing here"));
        if (message.member() == QLatin1String("GetDevices")) {
            reply = message.createReply(QVariant::fromValue(devices));
        } else if (message.member() == QLatin1String("GetAll") && !properties.isEmpty()) {
            reply = message.createReply(properties);
        } else if (message.member() == QLatin1String("Get") && properties.contains(name)) {
            reply = message.createReply(QVariant::fromValue(QDBusVariant(properties.value(name))));
        }
        return connection.send(reply);
    }
};

QVariantMap device(uint type, uint state, const QString& interface)
{
    return {{QStringLiteral("DeviceType"), type},
            {QStringLiteral("State"), state},
            {QStringLiteral("Interface"), interface}};
}

QVariantMap activeAccessPoint(const QString& path)
{
    return {{QStringLiteral("ActiveAccessPoint"), QVariant::fromValue(QDBusObjectPath(path))}};
}

class OneInterfaceReader final : public NetworkReader {
public:
    std::optional<std::vector<NetworkInterface>> readInterfaces() const override
    {
        return std::vector<NetworkInterface>{{QStringLiteral("eth0"), QStringLiteral("02:00:00:00:00:01")}};
    }
    std::vector<NetworkAddress> readAllAddresses() const override { return {}; }
};

} // namespace

Q_DECLARE_METATYPE(ResolvedDomain)

class EvidenceBusTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
    StandIns standIns_;

    static QDBusConnection standInBus() { return QDBusConnection(QStringLiteral("stand-ins")); }
    static QDBusConnection client() { return QDBusConnection(QStringLiteral("client")); }

    // Whether `service` has an owner on the private bus, as seen from the reader's side.
    static void own(const QString& service, bool owned)
    {
        QDBusConnection bus = standInBus();
        QVERIFY(owned ? bus.registerService(service) : bus.unregisterService(service));
        QTRY_COMPARE(client().interface()->isServiceRegistered(service).value(), owned);
    }

    // Three Wi-Fi devices (one with `ssid`, one not connected, one without an access point), an
    // Ethernet device, and a listed device that has gone.
    void networkManagerWith(const QByteArray& ssid)
    {
        const QString accessPoint = QStringLiteral("/org/freedesktop/NetworkManager/AccessPoint/7");
        standIns_.devices.clear();
        for (int i = 1; i <= 5; ++i) {
            standIns_.devices.append(QDBusObjectPath(devicePath + QString::number(i)));
        }
        const QString deviceInterface = QStringLiteral("org.freedesktop.NetworkManager.Device");
        standIns_.objects[devicePath + u'1'] = {{deviceInterface, device(1, 100, QStringLiteral("eth0"))},
                                                {wirelessInterface, activeAccessPoint(accessPoint)}};
        standIns_.objects[devicePath + u'2'] = {{deviceInterface, device(2, 30, QStringLiteral("wlan1"))},
                                                {wirelessInterface, activeAccessPoint(accessPoint)}};
        standIns_.objects[devicePath + u'3'] = {{deviceInterface, device(2, 100, QStringLiteral("wlp2s0"))},
                                                {wirelessInterface, activeAccessPoint(accessPoint)}};
        standIns_.objects[devicePath + u'4'] = {{deviceInterface, device(2, 100, QStringLiteral("wlan2"))},
                                                {wirelessInterface, activeAccessPoint(QStringLiteral("/"))}};
        standIns_.objects[accessPoint] = {{QStringLiteral("org.freedesktop.NetworkManager.AccessPoint"),
                                           {{QStringLiteral("Ssid"), ssid},
                                            {QStringLiteral("HwAddress"), QStringLiteral("0A:1B:2C:3D:4E:5F")},
                                            {QStringLiteral("Strength"), QVariant::fromValue(uchar(70))}}}};
    }

    void emitSignal(const QString& path, const QString& interface, const QVariantMap& changed)
    {
        QDBusMessage signal = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                         QStringLiteral("PropertiesChanged"));
        signal << interface << changed << QStringList();
        QVERIFY(standInBus().send(signal));
    }

private slots:
    void initTestCase()
    {
        qDBusRegisterMetaType<ResolvedDomain>();
        qDBusRegisterMetaType<QList<ResolvedDomain>>();
        const QString config = test::writeFile(
            dir_, QStringLiteral("bus.conf"),
            QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig><listen>unix:path=%1</listen><auth>EXTERNAL</auth>"
                           "<policy context=\"default\"><allow send_destination=\"*\"/><allow own=\"*\"/><allow "
                           "receive_sender=\"*\"/></policy>"
                           "</busconfig>\n")
                .arg(dir_.filePath(QStringLiteral("bus")))
                .toUtf8());
        daemon_.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config,
                                                      QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!daemon_.waitForReadyRead(10'000)) {
            QSKIP(qPrintable(QStringLiteral("no private bus: dbus-daemon did not start (") + daemon_.errorString() +
                             u')'));
        }
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        QDBusConnection standIns = QDBusConnection::connectToBus(address_, QStringLiteral("stand-ins"));
        QVERIFY(QDBusConnection::connectToBus(address_, QStringLiteral("client")).isConnected());
        QVERIFY(
            standIns.registerVirtualObject(QStringLiteral("/org/freedesktop"), &standIns_, QDBusConnection::SubPath));
    }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("stand-ins"));
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        daemon_.terminate();
        daemon_.waitForFinished(10'000);
    }

    // The connected Wi-Fi device with its access point, and nothing of the other devices; the SSID's
    // well-formed UTF-8 kept, every other byte escaped.
    void wirelessNetworks_data()
    {
        QTest::addColumn<QByteArray>("ssid");
        QTest::addColumn<QString>("expected");
        QTest::newRow("text") << QByteArray("Office 3F") << QStringLiteral("Office 3F");
        QTest::newRow("hidden") << QByteArray() << QString();
        QTest::newRow("utf-8") << QByteArray("Caf\xc3\xa9 \xf0\x9f\x93\xb6") << QStringLiteral(u"Café 📶");
        QTest::newRow("latin-1") << QByteArray("Caf\xe9!") << QStringLiteral("Caf\\xe9!");
        QTest::newRow("bad then good") << QByteArray("\xff\xc3\xa9") << QStringLiteral(u"\\xffé");
        QTest::newRow("cut at the end") << QByteArray("a\xe2\x82") << QStringLiteral("a\\xe2\\x82");
        QTest::newRow("overlong") << QByteArray("\xc0\xaf") << QStringLiteral("\\xc0\\xaf");
        QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << QStringLiteral("\\xed\\xa0\\x80");
        QTest::newRow("beyond U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << QStringLiteral("\\xf4\\x90\\x80\\x80");
        QTest::newRow("nul kept") << QByteArray("a\0b", 3) << QString(QStringLiteral("a%1b").arg(QChar(0)));
    }

    void wirelessNetworks()
    {
        QFETCH(QByteArray, ssid);
        QFETCH(QString, expected);
        networkManagerWith(ssid);
        own(networkManager, true);
        const WirelessReader reader(client());
        const std::vector<WirelessNetwork> networks = QCoro::waitFor(reader.read());
        const std::vector<WirelessNetwork> one{
            {QStringLiteral("wlp2s0"), expected, QStringLiteral("0a:1b:2c:3d:4e:5f")}};
        QCOMPARE(networks, one);
        own(networkManager, false);
    }

    // Without NetworkManager, or without a bus: no Wi-Fi network, and one line however often it is read.
    void withoutNetworkManager_data()
    {
        QTest::addColumn<bool>("busReachable");
        QTest::newRow("not on the bus") << true;
        QTest::newRow("no bus") << false;
    }

    void withoutNetworkManager()
    {
        QFETCH(bool, busReachable);
        const QDBusConnection bus =
            busReachable ? client()
                         : QDBusConnection::connectToBus(QStringLiteral("unix:path=") + dir_.filePath("none"),
                                                         QStringLiteral("nowhere"));
        int lines = 0;
        const LogReceiver receiver([&lines](QtMsgType type, const char* category, const QString&) {
            lines += type != QtDebugMsg && qstrcmp(category, "nerova.NetworkMonitor") == 0;
            return true;
        });
        const WirelessReader reader(bus);
        QVERIFY(QCoro::waitFor(reader.read()).empty());
        QVERIFY(QCoro::waitFor(reader.read()).empty());
        QCOMPARE(lines, 1);
        QCOMPARE(!makeWirelessChangeSource([] {}, bus), !busReachable);
    }

    // resolved's domains of every link, search and route-only; without resolved, the search and
    // domain lines of resolv.conf. Both lower-cased, without the trailing dot and the root, first
    // occurrence kept. resolv.conf is not read when resolved answers.
    void dnsDomains_data()
    {
        QTest::addColumn<bool>("withResolved");
        QTest::addColumn<QList<ResolvedDomain>>("domains");
        QTest::addColumn<QByteArray>("resolvConf"); // "-": no such file
        QTest::addColumn<QStringList>("expected");
        const QByteArray resolvConf = "# search commented.example\n"
                                      "nameserver 10.0.0.53\n"
                                      "search Corp.Example. lab.example ; other.example\n"
                                      "searching wrong.example\n"
                                      "domain corp.example\n"
                                      " \tsearch\tb\xff.example  . last.example.# tail.example\n"
                                      "options ndots:2\n"
                                      "search";
        const QStringList fromFile{QStringLiteral("corp.example"), QStringLiteral("lab.example"),
                                   QStringLiteral(u"b\uFFFD.example"), QStringLiteral("last.example")};
        const QList<ResolvedDomain> links{{0, QStringLiteral("Corp.Example."), false},
                                          {2, QStringLiteral("corp.example"), false},
                                          {2, QStringLiteral("."), true},
                                          {3, QStringLiteral("VPN.example"), true},
                                          {3, QString(), false},
                                          {4, QStringLiteral("lab.example"), false}};
        QTest::newRow("resolved") << true << links << resolvConf
                                  << QStringList{QStringLiteral("corp.example"), QStringLiteral("vpn.example"),
                                                 QStringLiteral("lab.example")};
        QTest::newRow("resolved without domains") << true << QList<ResolvedDomain>() << resolvConf << QStringList();
        QTest::newRow("resolv.conf") << false << QList<ResolvedDomain>() << resolvConf << fromFile;
        QTest::newRow("neither") << false << QList<ResolvedDomain>() << QByteArray("-") << QStringList();
    }

    void dnsDomains()
    {
        QFETCH(bool, withResolved);
        QFETCH(QList<ResolvedDomain>, domains);
        QFETCH(QByteArray, resolvConf);
        QFETCH(QStringList, expected);
        standIns_.objects[QStringLiteral("/org/freedesktop/resolve1")] = {
            {QStringLiteral("org.freedesktop.resolve1.Manager"),
             {{QStringLiteral("Domains"), QVariant::fromValue(domains)}}}};
        const QString file = resolvConf == "-" ? dir_.filePath(QStringLiteral("missing"))
                                               : test::writeFile(dir_, QStringLiteral("resolv.conf"), resolvConf);
        if (withResolved) {
            own(resolved, true);
        }
        const DnsDomainReader reader(client(), file);
        const std::vector<QString> read = QCoro::waitFor(reader.read());
        QCOMPARE(QStringList(read.begin(), read.end()), expected);
        if (withResolved) {
            own(resolved, false);
        }
    }

    // A new active access point, in a burst of signals, gives one context, and NetworkManager coming
    // back one more; other properties that change give none.
    void accessPointChangeGivesOneContext()
    {
        networkManagerWith("Office");
        own(networkManager, true);
        const auto sources = [](NetworkChangeSource::Trigger trigger) {
            std::vector<std::unique_ptr<NetworkChangeSource>> list;
            list.push_back(makeWirelessChangeSource(std::move(trigger), client()));
            return list;
        };
        auto received = std::make_shared<std::vector<NetworkContext>>();
        auto monitor =
            std::make_unique<NetworkMonitor>(std::make_unique<OneInterfaceReader>(), nullptr, sources, debounce);
        test::collectContexts(*monitor, received);
        test::settles(*received, 1, debounce);

        const QString device = devicePath + u'3';
        emitSignal(device, wirelessInterface, {{QStringLiteral("Bitrate"), 54000u}});
        emitSignal(device, QStringLiteral("org.freedesktop.NetworkManager.Device"), activeAccessPoint("/"));
        emitSignal(QStringLiteral("/org/freedesktop/NetworkManager/AccessPoint/7"),
                   QStringLiteral("org.freedesktop.NetworkManager.AccessPoint"),
                   {{QStringLiteral("Strength"), QVariant::fromValue(uchar(40))}});
        test::settles(*received, 1, debounce);

        for (const char* accessPoint : {"8", "9", "8"}) {
            emitSignal(device, wirelessInterface,
                       activeAccessPoint(QStringLiteral("/org/freedesktop/NetworkManager/AccessPoint/") + accessPoint));
        }
        test::settles(*received, 2, debounce);

        own(networkManager, false);
        own(networkManager, true);
        test::settles(*received, 3, debounce);
        test::stopCollecting(monitor);
        own(networkManager, false);
    }
};

QTEST_GUILESS_MAIN(EvidenceBusTest)
#include "EvidenceBusTest.moc"

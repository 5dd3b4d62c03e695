#include "network/NetworkReader.h"

#include <QRegularExpression>
#include <QTest>

using namespace nerova;

class NetworkReaderTest : public QObject {
    Q_OBJECT

private slots:
    void filter_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("kept");
        QTest::newRow("IPv4 loopback") << "127.0.0.1" << false;
        QTest::newRow("any 127. address") << "127.8.9.10" << false;
        QTest::newRow("IPv6 loopback") << "::1" << false;
        QTest::newRow("link-local with scope") << "fe80::ff:fe4e:5600%nv0" << false;
        QTest::newRow("link-local") << "fe80::1" << false;
        QTest::newRow("text that merely starts like ::1") << "::10" << false;
        QTest::newRow("IPv4 link-local stays") << "169.254.7.8" << true;
        QTest::newRow("private IPv4 stays") << "10.1.2.3" << true;
        QTest::newRow("127 not at the start") << "10.127.0.1" << true;
        QTest::newRow("global IPv6") << "2001:db8::5" << true;
        QTest::newRow("::1 after the first characters") << "2001:db8::1" << true;
        QTest::newRow("mapped IPv4") << "::ffff:10.0.0.1" << true;
        QTest::newRow("prefix test is case-sensitive") << "FE80::1" << true;
        QTest::newRow("failed conversion") << "" << true;
    }

    void filter()
    {
        QFETCH(QString, address);
        QFETCH(bool, kept);
        const std::vector<NetworkAddress> before{{AddressType::IPv4, QStringLiteral("a"), QStringLiteral("10.0.0.1")},
                                                 {AddressType::IPv6, QStringLiteral("b"), address},
                                                 {AddressType::IPv4, QStringLiteral("c"), QStringLiteral("10.0.0.2")}};
        const std::vector<NetworkAddress> after = filterInterfaceAddresses(before);
        QCOMPARE(after.size(), kept ? std::size_t(3) : std::size_t(2));
        QCOMPARE(after.front().name, QStringLiteral("a"));
        QCOMPARE(after.back().name, QStringLiteral("c"));
    }

    void hardwareAddressText_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("ethernet") << QByteArray::fromHex("02005e1000ff") << "02:00:5e:10:00:ff";
        QTest::newRow("lower case") << QByteArray::fromHex("ABCDEF012345") << "ab:cd:ef:01:23:45";
        QTest::newRow("eight bytes") << QByteArray::fromHex("0011223344556677") << "00:11:22:33:44:55:66:77";
        QTest::newRow("one byte") << QByteArray::fromHex("0a") << "0a";
        QTest::newRow("none") << QByteArray() << "";
    }

    void hardwareAddressText()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(formatHardwareAddress(reinterpret_cast<const unsigned char*>(bytes.constData()), int(bytes.size())),
                 text);
    }

    // Whatever this machine has: no loopback, MAC texts in the agreed form, nothing filtered.
    void thisMachine()
    {
        const std::unique_ptr<NetworkReader> reader = makeSystemNetworkReader();
        const std::optional<std::vector<NetworkInterface>> interfaces = reader->readInterfaces();
        QVERIFY(interfaces.has_value());
        const QRegularExpression mac(QStringLiteral("^[0-9a-f]{2}(:[0-9a-f]{2})*$"));
        for (const NetworkInterface& networkInterface : *interfaces) {
            QVERIFY(networkInterface.name != u"lo");
            QVERIFY2(mac.match(networkInterface.hardwareAddress).hasMatch(),
                     qPrintable(networkInterface.hardwareAddress));
        }
        const std::vector<NetworkAddress> all = reader->readAllAddresses();
        QVERIFY(std::any_of(all.begin(), all.end(), [](const NetworkAddress& a) { return a.address == u"127.0.0.1"; }));
        for (const NetworkAddress& address : readInterfaceAddresses(*reader)) {
            QVERIFY(!address.address.startsWith(u"127.") && !address.address.startsWith(u"::1"));
            QCOMPARE(address.address.contains(u':'), address.type == AddressType::IPv6);
        }
    }
};

QTEST_GUILESS_MAIN(NetworkReaderTest)
#include "NetworkReaderTest.moc"

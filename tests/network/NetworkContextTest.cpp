#include "network/NetworkContext.h"

#include <QSet>
#include <QTest>

using namespace nerova;

class NetworkContextTest : public QObject {
    Q_OBJECT

private slots:
    void addressTypeRawValues_data()
    {
        // clang-format off
        QTest::addColumn<QString>("raw");
        QTest::addColumn<bool>("valid");
        QTest::newRow("IPv4") << "IPv4" << true;
        QTest::newRow("IPv6") << "IPv6" << true;
        QTest::newRow("lower case") << "ipv4" << false;
        // clang-format on
    }

    void addressTypeRawValues()
    {
        QFETCH(QString, raw);
        QFETCH(bool, valid);
        const auto type = addressTypeFromRawValue(raw);
        QCOMPARE(type.has_value(), valid);
        if (type) {
            QCOMPARE(rawValue(*type), raw);
        }
    }

    // The id (for list views) ignores the interface; equality and hashing do not.
    void identity()
    {
        const NetworkAddress onEth0{AddressType::IPv4, "eth0", "10.1.2.3"};
        const NetworkAddress onWlan0{AddressType::IPv4, "wlan0", "10.1.2.3"};
        QCOMPARE(onEth0.id(), QStringLiteral("IPv410.1.2.3"));
        QCOMPARE(onEth0.id(), onWlan0.id());
        QCOMPARE(QSet<NetworkAddress>({onEth0, onWlan0, onEth0}).size(), 2);
        QVERIFY((NetworkAddress{AddressType::IPv6, "eth0", "10.1.2.3"}) != onEth0);

        const NetworkInterface en0{"en0", "aa:bb:cc:dd:ee:ff"};
        QCOMPARE(en0.id(), QStringLiteral("en0aa:bb:cc:dd:ee:ff"));
        QCOMPARE(QSet<NetworkInterface>({en0, {"en1", "11:22:33:44:55:66"}}).size(), 2);
        QVERIFY(QSet<NetworkInterface>({en0}) != QSet<NetworkInterface>({{"en0", "AA:BB:CC:DD:EE:FF"}}));
    }
};

QTEST_GUILESS_MAIN(NetworkContextTest)
#include "NetworkContextTest.moc"

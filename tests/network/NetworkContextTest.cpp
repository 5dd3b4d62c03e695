#include "network/NetworkContext.h"

#include <QSet>
#include <QTest>

using namespace nerova;

class NetworkContextTest : public QObject {
    Q_OBJECT

private slots:
    void rawValues()
    {
        QCOMPARE(rawValue(*addressTypeFromRawValue(u"IPv4")), QStringLiteral("IPv4"));
        QCOMPARE(rawValue(*addressTypeFromRawValue(u"IPv6")), QStringLiteral("IPv6"));
        QCOMPARE(addressTypeFromRawValue(u"ipv4"), std::nullopt); // the exact spelling only
    }

    // The id (for list views) ignores the interface; equality and hashing do not.
    void identity()
    {
        const NetworkAddress onEth0{AddressType::IPv4, "eth0", "10.1.2.3"};
        const NetworkAddress onWlan0{AddressType::IPv4, "wlan0", "10.1.2.3"};
        QCOMPARE(onEth0.id(), QStringLiteral("IPv410.1.2.3"));
        QCOMPARE(onWlan0.id(), onEth0.id());
        QCOMPARE(QSet<NetworkAddress>({onEth0, onWlan0, onEth0}).size(), 2);
        QVERIFY((NetworkAddress{AddressType::IPv6, "eth0", "10.1.2.3"}) != onEth0);
        QCOMPARE((NetworkInterface{"en0", "aa:bb:cc:dd:ee:ff"}.id()), QStringLiteral("en0aa:bb:cc:dd:ee:ff"));
    }
};

QTEST_GUILESS_MAIN(NetworkContextTest)
#include "NetworkContextTest.moc"

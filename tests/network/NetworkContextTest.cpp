// The network snapshot: its JSON form, and which interface addresses it keeps.
#include "network/NetworkContextJson.h"
#include "network/NetworkReader.h"

#include <QTest>

using namespace nerova;

class NetworkContextTest : public QObject {
    Q_OBJECT

private slots:
    void jsonDecoding_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error"); // empty: decodes; "same": decodes and encodes back to this text
        // clang-format off
        QTest::newRow("complete") << QByteArray(R"({"externalIPv4":"203.0.113.7","internalAddresses":[{"type":"IPv4",)"
            R"("name":"eth0","address":"10.1.2.3"},{"type":"IPv6","name":"eth0","address":"2001:db8::5"}],)"
            R"("externalIPv6":null,"networkInterfaces":[{"name":"eth0","hardwareAddress":"02:00:5e:10:00:01"}]})") << "same";
        QTest::newRow("external addresses missing")
            << QByteArray(R"({"internalAddresses":[],"networkInterfaces":[]})") << "";
        QTest::newRow("addresses missing") << QByteArray(R"({"networkInterfaces":[]})")
                                           << "internalAddresses: required key is missing";
        QTest::newRow("address type is case-sensitive")
            << QByteArray(R"({"internalAddresses":[{"type":"ipv4","name":"e","address":"1.2.3.4"}],)"
                          R"("networkInterfaces":[]})")
            << "internalAddresses[0].type: \"ipv4\" is not an address type";
        // clang-format on
    }

    void jsonDecoding()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        try {
            const NetworkContext context = decodeNetworkContext(json);
            QVERIFY2(error.isEmpty() || error == u"same", "decoded");
            if (error == u"same") {
                QCOMPARE(QByteArray::fromStdString(encodeNetworkContext(context).dump()), json);
            }
        } catch (const JsonDecodeError& raised) {
            QVERIFY2(!error.isEmpty() && raised.description().startsWith(error), qPrintable(raised.description()));
        }
    }

    // Loopback and IPv6 link-local addresses are left out, by the start of their text; the rest
    // keeps its order.
    void addressFilter_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("kept");
        // clang-format off
        QTest::newRow("any 127. address") << "127.8.9.10" << false;
        QTest::newRow("link-local with scope") << "fe80::ff:fe4e:5600%nv0" << false;
        QTest::newRow("text that merely starts like ::1") << "::10" << false;
        QTest::newRow("IPv4 link-local stays") << "169.254.7.8" << true;
        QTest::newRow("127 not at the start") << "10.127.0.1" << true;
        QTest::newRow("prefix test is case-sensitive") << "FE80::1" << true;
        // clang-format on
    }

    void addressFilter()
    {
        QFETCH(QString, address);
        QFETCH(bool, kept);
        const NetworkAddress first{AddressType::IPv4, "a", "10.0.0.1"}, last{AddressType::IPv4, "c", "10.0.0.2"};
        const NetworkAddress tested{AddressType::IPv6, "b", address};
        QVERIFY(filterInterfaceAddresses({first, tested, last}) ==
                (kept ? std::vector{first, tested, last} : std::vector{first, last}));
    }
};

QTEST_GUILESS_MAIN(NetworkContextTest)
#include "NetworkContextTest.moc"

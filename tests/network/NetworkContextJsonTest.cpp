#include "network/NetworkContextJson.h"

#include <QTest>

using namespace nerova;

class NetworkContextJsonTest : public QObject {
    Q_OBJECT

private slots:
    void roundTrip()
    {
        const NetworkContext context{QStringLiteral("203.0.113.7"),
                                     {{AddressType::IPv4, QStringLiteral("eth0"), QStringLiteral("10.1.2.3")},
                                      {AddressType::IPv6, QStringLiteral("eth0"), QStringLiteral("2001:db8::5")}},
                                     std::nullopt,
                                     {{QStringLiteral("eth0"), QStringLiteral("02:00:5e:10:00:01")}}};
        const Json json = encodeNetworkContext(context);
        QCOMPARE(
            QString::fromStdString(json.dump()),
            QStringLiteral(
                R"({"externalIPv4":"203.0.113.7","internalAddresses":[{"type":"IPv4","name":"eth0",)"
                R"("address":"10.1.2.3"},{"type":"IPv6","name":"eth0","address":"2001:db8::5"}],)"
                R"("externalIPv6":null,"networkInterfaces":[{"name":"eth0","hardwareAddress":"02:00:5e:10:00:01"}]})"));
        QVERIFY(encodeNetworkContext(decodeNetworkContext(QByteArray::fromStdString(json.dump()))) == json);
    }

    void decoding_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error"); // empty: decodes

        // clang-format off
        QTest::newRow("external addresses missing") << QByteArray(R"({"internalAddresses":[],"networkInterfaces":[]})")
                                                    << "";
        QTest::newRow("external address null")
            << QByteArray(R"({"externalIPv4":null,"internalAddresses":[],"networkInterfaces":[]})") << "";
        QTest::newRow("addresses missing") << QByteArray(R"({"networkInterfaces":[]})")
                                           << "internalAddresses: required key is missing";
        QTest::newRow("address type is case-sensitive")
            << QByteArray(R"({"internalAddresses":[{"type":"ipv4","name":"e","address":"1.2.3.4"}],)"
                          R"("networkInterfaces":[]})") << "internalAddresses[0].type: \"ipv4\" is not an address type";
        QTest::newRow("address not text")
            << QByteArray(R"({"internalAddresses":[{"type":"IPv4","name":"e","address":1}],"networkInterfaces":[]})")
            << "internalAddresses[0].address: expected a string, found the number 1";
        // clang-format on
    }

    void decoding()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        try {
            decodeNetworkContext(json);
            QVERIFY2(error.isEmpty(), "decoded");
        } catch (const JsonDecodeError& raised) {
            QVERIFY2(!error.isEmpty() && raised.description().startsWith(error), qPrintable(raised.description()));
        }
    }
};

QTEST_GUILESS_MAIN(NetworkContextJsonTest)
#include "NetworkContextJsonTest.moc"

#include "service/AgentInformation.h"
#include "service/DeviceInformation.h"

#include <QTest>
#include <QTimeZone>

using namespace nerova;

// The records as the registration request carries them, byte for byte and in field order.
class EnrolmentRecordsTest : public QObject {
    Q_OBJECT

private slots:
    void encoding_data()
    {
        QTest::addColumn<QByteArray>("encoded");
        QTest::addColumn<QByteArray>("expected");

        const DeviceInformation device{QStringLiteral("anna"), AgentDeviceType::mac, QStringLiteral("C02XK0AAJGH5"),
                                       QStringLiteral("Anna’s Laptop \"2\"")};
        QTest::newRow("device") << QByteArray::fromStdString(device.toJson().dump())
                                << QByteArray("{\"localUsername\":\"anna\",\"deviceType\":\"mac\",\"serialNumber\":"
                                              "\"C02XK0AAJGH5\",\"name\":\"Anna’s Laptop \\\"2\\\"\"}");
        const AgentInformation first{std::nullopt, 0, QStringLiteral("0.1.0")};
        QTest::newRow("agent without check-in") << QByteArray::fromStdString(first.toJson().dump())
                                                << QByteArray(R"({"fingerprintVersion":0,"agentVersion":"0.1.0"})");
        const AgentInformation checkedIn{QDateTime(QDate(2024, 1, 31), QTime(9, 15, 0, 999), QTimeZone(3600)),
                                         9007199254740993LL, QStringLiteral("Unknown")};
        QTest::newRow("agent with check-in, UTC whole seconds")
            << QByteArray::fromStdString(checkedIn.toJson().dump())
            << QByteArray(
                   R"({"lastCheckin":"2024-01-31T08:15:00Z","fingerprintVersion":9007199254740993,"agentVersion":"Unknown"})");
    }

    void encoding()
    {
        QFETCH(QByteArray, encoded);
        QFETCH(QByteArray, expected);
        QCOMPARE(encoded, expected);
    }
};

QTEST_GUILESS_MAIN(EnrolmentRecordsTest)
#include "EnrolmentRecordsTest.moc"

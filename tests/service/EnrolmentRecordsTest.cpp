#include "service/AgentInformation.h"
#include "service/DeviceInformation.h"

#include <QTest>
#include <QTimeZone>

using namespace nerova;

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
        const DeviceInformation windows{QStringLiteral("u"), AgentDeviceType::windows, QStringLiteral("unknown"),
                                        QStringLiteral("unknown")};
        QTest::newRow("windows device")
            << QByteArray::fromStdString(windows.toJson().dump())
            << QByteArray(R"({"localUsername":"u","deviceType":"windows","serialNumber":"unknown","name":"unknown"})");

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

    void decodingRoundTrips()
    {
        const DeviceInformation device{QStringLiteral("ännä"), AgentDeviceType::windows, QStringLiteral("S1"),
                                       QStringLiteral("Büro")};
        QCOMPARE(DeviceInformation::fromJson(device.toJson()), device);
        const AgentInformation agent{QDateTime(QDate(2024, 5, 1), QTime(9, 30), QTimeZone::utc()), 42,
                                     QStringLiteral("1.2")};
        QCOMPARE(AgentInformation::fromJson(agent.toJson()), agent);
        const AgentInformation noCheckin{std::nullopt, 1, QStringLiteral("1.2")};
        QCOMPARE(AgentInformation::fromJson(noCheckin.toJson()), noCheckin);
        QCOMPARE(AgentInformation::fromJson(
                     Json::parse(R"({"lastCheckin":null,"fingerprintVersion":1,"agentVersion":"1.2"})")),
                 noCheckin);
    }

    void decodingFailures_data()
    {
        QTest::addColumn<bool>("device"); // else agent
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");

        QTest::newRow("other device type")
            << true << QByteArray(R"({"localUsername":"a","deviceType":"linux","serialNumber":"s","name":"n"})")
            << "record.deviceType: expected \"mac\" or \"windows\", found the string \"linux\"";
        QTest::newRow("device type is case-sensitive")
            << true << QByteArray(R"({"localUsername":"a","deviceType":"Mac","serialNumber":"s","name":"n"})")
            << "record.deviceType: expected \"mac\" or \"windows\", found the string \"Mac\"";
        QTest::newRow("device type not text")
            << true << QByteArray(R"({"localUsername":"a","deviceType":1,"serialNumber":"s","name":"n"})")
            << "record.deviceType: expected a string, found the number 1";
        QTest::newRow("missing name") << true
                                      << QByteArray(R"({"localUsername":"a","deviceType":"mac","serialNumber":"s"})")
                                      << "record.name: required key is missing";
        QTest::newRow("null serial")
            << true << QByteArray(R"({"localUsername":"a","deviceType":"mac","serialNumber":null,"name":"n"})")
            << "record.serialNumber: required value is null";
        QTest::newRow("not an object") << true << QByteArray(R"(["a"])")
                                       << "record: expected an object, found an array";
        QTest::newRow("check-in with fraction")
            << false
            << QByteArray(R"({"lastCheckin":"2024-01-31T08:15:00.5Z","fingerprintVersion":1,"agentVersion":"v"})")
            << "record.lastCheckin: \"2024-01-31T08:15:00.5Z\" is not a UTC date-time in whole seconds";
        QTest::newRow("check-in not a date")
            << false << QByteArray(R"({"lastCheckin":"yesterday","fingerprintVersion":1,"agentVersion":"v"})")
            << "record.lastCheckin: \"yesterday\" is not a UTC date-time";
        QTest::newRow("version is text")
            << false << QByteArray(R"({"fingerprintVersion":"1","agentVersion":"v"})")
            << "record.fingerprintVersion: expected a 64-bit integer, found the string \"1\"";
        QTest::newRow("missing agent version")
            << false << QByteArray(R"({"fingerprintVersion":1})") << "record.agentVersion: required key is missing";
    }

    void decodingFailures()
    {
        QFETCH(bool, device);
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        const Json document = Json::parse(json.toStdString());
        try {
            if (device) {
                DeviceInformation::fromJson(document, QStringLiteral("record"));
            } else {
                AgentInformation::fromJson(document, QStringLiteral("record"));
            }
            QFAIL("decoding succeeded");
        } catch (const JsonDecodeError& decodeError) {
            QVERIFY2(decodeError.description().startsWith(error), qPrintable(decodeError.description()));
        }
    }
};

QTEST_GUILESS_MAIN(EnrolmentRecordsTest)
#include "EnrolmentRecordsTest.moc"

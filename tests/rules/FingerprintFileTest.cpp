#include "rules/FingerprintFile.h"
#include "common/Json.h"
#include "rules/FingerprintFileJson.h"

#include <QSet>
#include <QTest>

using namespace nerova;

namespace {

// A small valid file in the served form; the decoding table mutates it.
const char* const baseDocument = R"({
  "fingerprints": [{
    "fingerprintId": "fp-1",
    "name": "Office",
    "locationPoint": {"locationId": "loc", "levelId": "lvl"},
    "rules": [{
      "name": "Main",
      "conditions": [{
        "type": "ping",
        "arguments": [{"name": "address", "value": "gw"}],
        "rules": [],
        "inverted": false
      }]
    }]
  }],
  "fingerprintVersion": 7,
  "createdAt": "2026-11-30T09:15:00.123Z"
})";

const QString conditionPath = QStringLiteral("fingerprints[0].rules[0].conditions[0]");

QByteArray mutated(const QString& pointer, const QString& replacement)
{
    Json document = Json::parse(baseDocument);
    if (!pointer.isEmpty()) {
        const Json::json_pointer target(toStdString(pointer));
        if (replacement == u"<remove>") {
            document.at(target.parent_pointer()).erase(target.back());
        } else {
            document[target] = Json::parse(toStdString(replacement));
        }
    }
    const std::string text = document.dump();
    return QByteArray(text.data(), qsizetype(text.size()));
}

QByteArray nestedRules(int depth)
{
    const QByteArray open = R"({"type":"or","arguments":[],"rules":[{"name":"n","conditions":[)";
    const QByteArray close = R"(]}],"inverted":false})";
    const QByteArray condition =
        open.repeated(depth) + R"({"type":"or","arguments":[],"rules":[],"inverted":false})" + close.repeated(depth);
    return R"({"fingerprintVersion":1,"createdAt":"2026-01-01T00:00:00.0Z","fingerprints":[{"fingerprintId":"f","name":"f",)"
           R"("locationPoint":{"locationId":"l"},"rules":[{"name":"r","conditions":[)" +
           condition + "]}]}]}";
}

FingerprintCondition condition(FingerprintConditionType type, std::vector<FingerprintConditionArgument> arguments,
                               std::vector<FingerprintRule> rules = {}, bool inverted = false)
{
    return FingerprintCondition{type, std::move(arguments), std::move(rules), inverted};
}

} // namespace

class FingerprintFileTest : public QObject {
    Q_OBJECT

private slots:
    void decoding_data()
    {
        // clang-format off
        QTest::addColumn<QString>("pointer");     // JSON pointer into the base document, empty: unchanged
        QTest::addColumn<QString>("replacement"); // JSON text, or <remove>
        QTest::addColumn<bool>("stored");
        QTest::addColumn<QString>("errorPath"); // empty: decodes

        const QString c = QStringLiteral("/fingerprints/0/rules/0/conditions/0");
        QTest::newRow("base file") << "" << "" << false << "";
        QTest::newRow("empty fingerprint list") << "/fingerprints" << "[]" << false << "";
        QTest::newRow("unknown keys ignored") << "/fingerprints/0/colour" << R"("blue")" << false << "";
        QTest::newRow("tcpConnection") << c + "/type" << R"("tcpConnection")" << false << "";
        QTest::newRow("levelId null") << "/fingerprints/0/locationPoint/levelId" << "null" << false << "";
        QTest::newRow("served with offset") << "/createdAt" << R"("2026-11-30T10:15:00.5+01:00")" << false << "";
        QTest::newRow("served with six fraction digits") << "/createdAt" << R"("2026-11-30T09:15:00.123456Z")" << false << "";
        QTest::newRow("stored form") << "/createdAt" << R"("2026-11-30T09:15:00Z")" << true << "";
        QTest::newRow("minimum version") << "/fingerprintVersion" << "-9223372036854775808" << false << "";

        QTest::newRow("condition without rules") << c + "/rules" << "<remove>" << false << conditionPath + ".rules";
        QTest::newRow("condition without inverted") << c + "/inverted" << "<remove>" << false << conditionPath + ".inverted";
        QTest::newRow("condition without arguments") << c + "/arguments" << "<remove>" << false << conditionPath + ".arguments";
        QTest::newRow("type connection") << c + "/type" << R"("connection")" << false << conditionPath + ".type";
        QTest::newRow("type InternalIp") << c + "/type" << R"("InternalIp")" << false << conditionPath + ".type";
        QTest::newRow("inverted as text") << c + "/inverted" << R"("false")" << false << conditionPath + ".inverted";
        QTest::newRow("argument value a number") << c + "/arguments/0/value" << "8" << false << conditionPath + ".arguments[0].value";
        QTest::newRow("name null") << "/fingerprints/0/name" << "null" << false << "fingerprints[0].name";
        QTest::newRow("location point missing") << "/fingerprints/0/locationPoint" << "<remove>" << false << "fingerprints[0].locationPoint";
        QTest::newRow("locationId missing") << "/fingerprints/0/locationPoint/locationId" << "<remove>" << false
                                            << "fingerprints[0].locationPoint.locationId";
        QTest::newRow("levelId a number") << "/fingerprints/0/locationPoint/levelId" << "3" << false
                                          << "fingerprints[0].locationPoint.levelId";
        QTest::newRow("rules an object") << "/fingerprints/0/rules" << "{}" << false << "fingerprints[0].rules";
        QTest::newRow("rule not an object") << "/fingerprints/0/rules/0" << "[]" << false << "fingerprints[0].rules[0]";
        QTest::newRow("version as text") << "/fingerprintVersion" << R"("7")" << false << "fingerprintVersion";
        QTest::newRow("version fractional") << "/fingerprintVersion" << "7.5" << false << "fingerprintVersion";
        QTest::newRow("version beyond 64 bits") << "/fingerprintVersion" << "9223372036854775808" << false << "fingerprintVersion";
        QTest::newRow("served without fraction") << "/createdAt" << R"("2026-11-30T09:15:00Z")" << false << "createdAt";
        QTest::newRow("stored with fraction") << "/createdAt" << R"("2026-11-30T09:15:00.123Z")" << true << "createdAt";
        QTest::newRow("stored with offset") << "/createdAt" << R"("2026-11-30T09:15:00+01:00")" << true << "createdAt";
        QTest::newRow("served impossible date") << "/createdAt" << R"("2026-02-30T09:15:00.1Z")" << false << "createdAt";
        QTest::newRow("served without zone") << "/createdAt" << R"("2026-11-30T09:15:00.1")" << false << "createdAt";
        QTest::newRow("served lower-case t") << "/createdAt" << R"("2026-11-30t09:15:00.1Z")" << false << "createdAt";
        QTest::newRow("served offset hour 24") << "/createdAt" << R"("2026-11-30T09:15:00.1+24:00")" << false << "createdAt";
        QTest::newRow("document an array") << "" << "[]" << false << "";
        QTest::newRow("number beyond a double") << "" << R"({"fingerprintVersion": 1e999})" << false << "";
        // clang-format on
    }

    void decoding()
    {
        QFETCH(QString, pointer);
        QFETCH(QString, replacement);
        QFETCH(bool, stored);
        QFETCH(QString, errorPath);

        const QByteArray json =
            pointer.isEmpty() && !replacement.isEmpty() ? replacement.toUtf8() : mutated(pointer, replacement);
        const bool shouldFail = !errorPath.isEmpty() || (pointer.isEmpty() && !replacement.isEmpty());
        try {
            decodeFingerprintFile(json, stored ? TimestampForm::stored : TimestampForm::served);
            QVERIFY2(!shouldFail, "decoded although it should fail");
        } catch (const JsonDecodeError& error) {
            QVERIFY2(shouldFail, qPrintable(error.description()));
            QCOMPARE(error.path(), errorPath);
            QVERIFY(error.description().startsWith(errorPath));
        }
    }

    void decodedValues()
    {
        const FingerprintFile file =
            decodeFingerprintFile(mutated("/fingerprintVersion", "9007199254740993"), TimestampForm::served);
        QCOMPARE(file.fingerprintVersion, 9007199254740993LL);
        QCOMPARE(file.createdAt, QDateTime(QDate(2026, 11, 30), QTime(9, 15, 0, 123), Qt::UTC));
        QCOMPARE(file.fingerprints.size(), 1u);
        const Fingerprint& fingerprint = file.fingerprints[0];
        QCOMPARE(fingerprint.id(), QStringLiteral("fp-1"));
        QCOMPARE(fingerprint.locationPoint, (LocationPoint{"loc", "lvl", std::nullopt, std::nullopt}));
        QCOMPARE(fingerprint.rules[0].conditions[0], condition(FingerprintConditionType::ping, {{"address", "gw"}}));

        const FingerprintFile offset =
            decodeFingerprintFile(mutated("/createdAt", R"("2026-11-30T10:15:00.5+01:00")"), TimestampForm::served);
        QCOMPARE(offset.createdAt, QDateTime(QDate(2026, 11, 30), QTime(9, 15, 0, 500), Qt::UTC));

        const FingerprintFile tcp = decodeFingerprintFile(
            mutated("/fingerprints/0/rules/0/conditions/0/type", R"("tcpConnection")"), TimestampForm::served);
        QCOMPARE(tcp.fingerprints[0].rules[0].conditions[0].type, FingerprintConditionType::connection);

        const FingerprintFile nullLevel =
            decodeFingerprintFile(mutated("/fingerprints/0/locationPoint/levelId", "null"), TimestampForm::served);
        QVERIFY(!nullLevel.fingerprints[0].locationPoint.levelId);
        QVERIFY(!encodeFingerprintFile(nullLevel).contains("levelId"));
    }

    void malformedDocumentsNameTheProblem()
    {
        try {
            decodeFingerprintFile("{\"fingerprints\": [", TimestampForm::served);
            QFAIL("decoded");
        } catch (const JsonDecodeError& error) {
            QCOMPARE(error.errorCase(), JsonDecodeError::Case::dataCorrupted);
            QVERIFY2(error.description().startsWith("malformed JSON"), qPrintable(error.description()));
        }
    }

    void nestingIsBounded()
    {
        QCOMPARE(decodeFingerprintFile(nestedRules(maxRuleNesting), TimestampForm::served).fingerprints.size(), 1u);
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError,
                                 decodeFingerprintFile(nestedRules(maxRuleNesting + 1), TimestampForm::served));
        // Far beyond the limit the decoder still answers with an error instead of running out of stack.
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decodeFingerprintFile(nestedRules(20000), TimestampForm::served));
    }

    void storedFormRoundTrip()
    {
        QFile sample(QStringLiteral(NEROVA_SAMPLE_FILE));
        QVERIFY(sample.open(QIODevice::ReadOnly));
        const FingerprintFile served = decodeFingerprintFile(sample.readAll(), TimestampForm::served);
        const QByteArray storedBytes = encodeFingerprintFile(served);
        const FingerprintFile stored = decodeFingerprintFile(storedBytes, TimestampForm::stored);

        QCOMPARE(stored.fingerprintVersion, served.fingerprintVersion);
        QCOMPARE(stored.createdAt, served.createdAt.addMSecs(-served.createdAt.time().msec()));
        QCOMPARE(stored.fingerprints.size(), served.fingerprints.size());
        for (std::size_t i = 0; i < served.fingerprints.size(); ++i) {
            QCOMPARE(stored.fingerprints[i].fingerprintId, served.fingerprints[i].fingerprintId);
            QCOMPARE(stored.fingerprints[i].name, served.fingerprints[i].name);
            QCOMPARE(stored.fingerprints[i].locationPoint, served.fingerprints[i].locationPoint);
            QVERIFY(stored.fingerprints[i].rules == served.fingerprints[i].rules);
        }
        QCOMPARE(encodeFingerprintFile(stored), storedBytes);
    }

    void storedFormLayout()
    {
        const FingerprintFile file{{Fingerprint{"f",
                                                "F",
                                                LocationPoint{"l", std::nullopt, "z", std::nullopt},
                                                {FingerprintRule{"r",
                                                                 {condition(FingerprintConditionType::connection,
                                                                            {{"hostport", "h:1"}}, {}, true)}}}}},
                                   -3,
                                   QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 678), Qt::UTC)};
        const Json json = parseJson(encodeFingerprintFile(file));
        QCOMPARE(
            fromStdString(json.dump()),
            QStringLiteral(
                R"({"fingerprints":[{"fingerprintId":"f","name":"F","locationPoint":{"locationId":"l","zoneId":"z"},)"
                R"("rules":[{"name":"r","conditions":[{"type":"tcpConnection","arguments":[{"name":"hostport","value":"h:1"}],)"
                R"("rules":[],"inverted":true}]}]}],"fingerprintVersion":-3,"createdAt":"2026-01-02T03:04:05Z"})"));
    }

    void conditionTypeRawValues_data()
    {
        // clang-format off
        QTest::addColumn<QString>("raw");
        QTest::addColumn<int>("type"); // -1: not a type
        QTest::newRow("internalIp") << "internalIp" << int(FingerprintConditionType::internalIp);
        QTest::newRow("externalIp") << "externalIp" << int(FingerprintConditionType::externalIp);
        QTest::newRow("ping") << "ping" << int(FingerprintConditionType::ping);
        QTest::newRow("webContent") << "webContent" << int(FingerprintConditionType::webContent);
        QTest::newRow("tcpConnection") << "tcpConnection" << int(FingerprintConditionType::connection);
        QTest::newRow("or") << "or" << int(FingerprintConditionType::or_);
        QTest::newRow("connection") << "connection" << -1;
        QTest::newRow("Ping") << "Ping" << -1;
        QTest::newRow("empty") << "" << -1;
        // clang-format on
    }

    void conditionTypeRawValues()
    {
        QFETCH(QString, raw);
        QFETCH(int, type);
        const auto decoded = fingerprintConditionTypeFromRawValue(raw);
        QCOMPARE(decoded.has_value(), type >= 0);
        if (decoded) {
            QCOMPARE(int(*decoded), type);
            QCOMPARE(rawValue(*decoded), raw);
        }
    }

    void argumentLookupTakesTheFirstMatch()
    {
        const FingerprintCondition c =
            condition(FingerprintConditionType::internalIp,
                      {{"cidr", "x"}, {"cidrRange", "10.0.0.0/8"}, {"cidrRange", "11.0.0.0/8"}});
        QCOMPARE(c.argument(u"cidrRange"), std::optional<QString>("10.0.0.0/8"));
        QCOMPARE(c.argument(u"CidrRange"), std::nullopt);
    }

    void equalityAndHashing()
    {
        const FingerprintRule inner{"inner", {condition(FingerprintConditionType::ping, {{"address", "a"}})}};
        const FingerprintCondition a = condition(FingerprintConditionType::or_, {}, {inner});
        FingerprintCondition b = a;
        QVERIFY(a == b);
        QCOMPARE(qHash(a), qHash(b));
        b.rules[0].conditions[0].arguments[0].value = "b";
        QVERIFY(!(a == b));
        b = a;
        b.inverted = true;
        QVERIFY(!(a == b));

        const LocationPoint absent{"l", std::nullopt, std::nullopt, std::nullopt};
        const LocationPoint empty{"l", QString(), std::nullopt, std::nullopt};
        QVERIFY(absent != empty);
        QSet<LocationPoint> points{absent, empty, absent};
        QCOMPARE(points.size(), 2);

        const Fingerprint first{"same", "One", absent, {}};
        const Fingerprint second{"same", "Two", absent, {}};
        QCOMPARE(first.id(), second.id());
    }
};

QTEST_GUILESS_MAIN(FingerprintFileTest)
#include "FingerprintFileTest.moc"

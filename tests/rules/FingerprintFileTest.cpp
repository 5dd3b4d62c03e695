#include "rules/FingerprintFile.h"
#include "common/Json.h"
#include "rules/FingerprintFileJson.h"

#include <QRegularExpression>
#include <QTest>

using namespace nerova;

namespace {

// A small valid file in the served form; the decoding table mutates it. (The deep "fingerprints"
// comes last: parsing a deeply nested value followed by another key overflows the stack.)
const QByteArray pingCondition =
    R"({"type":"ping","arguments":[{"name":"address","value":"gw"}],"rules":[],"inverted":false})";
const QByteArray baseDocument =
    R"({"fingerprintVersion":7,"createdAt":"2026-11-30T09:15:00.123Z","fingerprints":[{"fingerprintId":"fp-1",)"
    R"("name":"Office","locationPoint":{"locationId":"loc","levelId":"lvl"},"rules":[{"name":"Main","conditions":[)" +
    pingCondition + "]}]}]}";

QByteArray mutated(const QString& pointer, const QString& replacement)
{
    Json document = parseJson(baseDocument);
    const Json::json_pointer target(toStdString(pointer));
    if (replacement == u"<remove>") {
        document.at(target.parent_pointer()).erase(target.back());
    } else {
        document[target] = parseJson(replacement.toUtf8());
    }
    return QByteArray::fromStdString(document.dump());
}

// The base file with its condition wrapped in `depth` levels of nested rules.
QByteArray nestedRules(int depth)
{
    const QByteArray open = R"({"type":"or","arguments":[],"rules":[{"name":"n","conditions":[)";
    const QByteArray close = R"(]}],"inverted":false})";
    return QByteArray(baseDocument)
        .replace(pingCondition, open.repeated(depth) + pingCondition + close.repeated(depth));
}

} // namespace

class FingerprintFileTest : public QObject {
    Q_OBJECT

private slots:
    // Each row changes the base document at a JSON pointer. A rejected file names the key the
    // pointer leads to (whole documents replaced: no key).
    void decoding_data()
    {
        QTest::addColumn<QString>("pointer");     // empty: the replacement is the whole document
        QTest::addColumn<QString>("replacement"); // JSON text, or <remove>
        QTest::addColumn<bool>("stored");         // decoded in the stored form, else the served form
        QTest::addColumn<bool>("accepted");

        const QString c = QStringLiteral("/fingerprints/0/rules/0/conditions/0");
        const QString f = QStringLiteral("/fingerprints/0");
        // clang-format off
        QTest::newRow("empty fingerprint list") << "/fingerprints" << "[]" << false << true;
        QTest::newRow("unknown keys ignored") << f + "/colour" << R"("blue")" << false << true;
        QTest::newRow("condition without rules") << c + "/rules" << "<remove>" << false << false;
        QTest::newRow("condition without inverted") << c + "/inverted" << "<remove>" << false << false;
        QTest::newRow("type InternalIp") << c + "/type" << R"("InternalIp")" << false << false;
        QTest::newRow("name null") << f + "/name" << "null" << false << false;
        QTest::newRow("levelId a number") << f + "/locationPoint/levelId" << "3" << false << false;
        QTest::newRow("rules an object") << f + "/rules" << "{}" << false << false;
        QTest::newRow("version fractional") << "/fingerprintVersion" << "7.5" << false << false;
        QTest::newRow("version beyond 64 bits") << "/fingerprintVersion" << "9223372036854775808" << false << false;
        QTest::newRow("version written with a fraction") << "/fingerprintVersion" << "7.0" << false << true;
        QTest::newRow("version as an exponent beyond 64 bits") << "/fingerprintVersion" << "1e19" << false << false;
        QTest::newRow("brackets inside strings are not nesting")
            << f + "/name" << u'"' + QString(u'[').repeated(600) + "\\\"{\"" << false << true;
        QTest::newRow("served without fraction") << "/createdAt" << R"("2026-11-30T09:15:00Z")" << false << false;
        QTest::newRow("served impossible date") << "/createdAt" << R"("2026-02-30T09:15:00.1Z")" << false << false;
        QTest::newRow("served offset hour 24") << "/createdAt" << R"("2026-11-30T09:15:00.1+24:00")" << false << false;
        QTest::newRow("a repeated key takes the last value") << ""
            << R"({"fingerprintVersion":"seven","fingerprints":[],"fingerprintVersion":7,"createdAt":"2026-11-30T09:15:00.1Z"})"
            << false << true;
        QTest::newRow("number beyond a double") << "" << R"({"fingerprintVersion": 1e999})" << false << false;
        // clang-format on
    }

    void decoding()
    {
        QFETCH(QString, pointer);
        QFETCH(QString, replacement);
        QFETCH(bool, stored);
        QFETCH(bool, accepted);

        // "/fingerprints/0/name" names the key fingerprints[0].name.
        const QString path = QString(pointer)
                                 .replace(QRegularExpression(QStringLiteral("/(\\d+)")), QStringLiteral("[\\1]"))
                                 .replace(u'/', u'.')
                                 .mid(1);
        try {
            decodeFingerprintFile(pointer.isEmpty() ? replacement.toUtf8() : mutated(pointer, replacement),
                                  stored ? TimestampForm::stored : TimestampForm::served);
            QVERIFY2(accepted, "decoded although it should fail");
        } catch (const JsonDecodeError& error) {
            QVERIFY2(!accepted, qPrintable(error.description()));
            QCOMPARE(error.path(), path);
            QVERIFY(error.description().startsWith(path));
        }
    }

    void decodedValues()
    {
        const auto decoded = [](const QString& pointer, const QString& replacement) {
            return decodeFingerprintFile(mutated(pointer, replacement), TimestampForm::served);
        };
        const FingerprintFile file = decoded("/fingerprintVersion", "9007199254740993");
        QCOMPARE(file.fingerprintVersion, 9007199254740993LL);
        QCOMPARE(decoded("/fingerprintVersion", "-3.0").fingerprintVersion, -3);
        QCOMPARE(file.createdAt, QDateTime(QDate(2026, 11, 30), QTime(9, 15, 0, 123), Qt::UTC));
        QCOMPARE(file.fingerprints.size(), 1u);
        QCOMPARE(file.fingerprints[0].locationPoint, (LocationPoint{"loc", "lvl", std::nullopt, std::nullopt}));
        QCOMPARE(decoded("/createdAt", R"("2026-11-30T10:15:00.5+01:00")").createdAt,
                 QDateTime(QDate(2026, 11, 30), QTime(9, 15, 0, 500), Qt::UTC));
        const FingerprintFile nullLevel = decoded("/fingerprints/0/locationPoint/levelId", "null");
        QVERIFY(!nullLevel.fingerprints[0].locationPoint.levelId);
        QVERIFY(!encodeFingerprintFile(nullLevel).contains("levelId"));
    }

    void nestingIsBounded()
    {
        const auto decode = [](const QByteArray& json) { return decodeFingerprintFile(json, TimestampForm::served); };
        QCOMPARE(decode(nestedRules(maxRuleNesting)).fingerprints.size(), 1u);
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decode(nestedRules(maxRuleNesting + 1)));
        // Far beyond the limit, also with the deep list before other keys, the decoder still answers
        // with an error instead of running out of stack.
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError, decode(nestedRules(20000)));
        QVERIFY_THROWS_EXCEPTION(JsonDecodeError,
                                 decode("{\"fingerprints\":" + QByteArray("[").repeated(20000) +
                                        QByteArray("]").repeated(20000) + ",\"fingerprintVersion\":1}"));
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
        QVERIFY(std::equal(stored.fingerprints.begin(), stored.fingerprints.end(), served.fingerprints.begin(),
                           served.fingerprints.end(), [](const Fingerprint& a, const Fingerprint& b) {
                               return a.fingerprintId == b.fingerprintId && a.name == b.name &&
                                      a.locationPoint == b.locationPoint && a.rules == b.rules;
                           }));
        // The comparison looks into nested rules: a changed nested argument shows.
        std::vector<FingerprintRule> altered = stored.fingerprints[0].rules;
        altered[1].conditions[0].rules[0].conditions[0].arguments[0].value = "x";
        QVERIFY(altered != served.fingerprints[0].rules);
    }
};

QTEST_GUILESS_MAIN(FingerprintFileTest)
#include "FingerprintFileTest.moc"

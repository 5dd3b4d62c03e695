#include "core/CommandLine.h"
#include "support/TestSupport.h"

#include <QCoro/QCoroTask>
#include <QTemporaryDir>
#include <QTest>

using namespace nerova;

namespace {

const QByteArray validFile =
    R"({"fingerprints":[{"fingerprintId":"fp-1","name":"Office","locationPoint":{"locationId":"hq","placeId":"desk-7"},
  "rules":[{"name":"Main","conditions":[{"type":"internalIp","arguments":[{"name":"cidrRange","value":"10.1.0.0/16"}],"rules":[
  {"name":"Nested","conditions":[{"type":"ping","arguments":[{"name":"address","value":"gw"}],"rules":[],"inverted":true}]}],
  "inverted":false}]}]}],"fingerprintVersion":9007199254740993,"createdAt":"2026-11-30T09:15:00.123Z"})";

} // namespace

class CommandLineTest : public QObject {
    Q_OBJECT

private slots:
    void commands_data()
    {
        // clang-format off
        QTest::addColumn<QStringList>("arguments"); // FILE stands for the written file
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("expectedOut");
        QTest::addColumn<QString>("expectedErr");

        QTest::newRow("summary") << QStringList{"check", "FILE"} << validFile << 0
                                 << QStringList{"Fingerprint file version 9007199254740993, created 2026-11-30T09:15:00.123Z, 1 fingerprint",
                                                "fingerprint \"Office\" (id \"fp-1\")",
                                                "  location \"hq\", level -, zone -, place \"desk-7\"", "  rule \"Main\"",
                                                "    - internalIp cidrRange=\"10.1.0.0/16\"", "      rule \"Nested\"",
                                                "        - NOT ping address=\"gw\""}
                                 << "";
        QTest::newRow("json") << QStringList{"check", "FILE", "--json"} << validFile << 0
                              << QStringList{"\"fingerprintVersion\": 9007199254740993", "\"createdAt\": \"2026-11-30T09:15:00Z\""} << "";
        QTest::newRow("served file read as stored") << QStringList{"check", "--stored", "FILE"} << validFile << 2 << QStringList{}
                                                    << "createdAt: \"2026-11-30T09:15:00.123Z\" is not a UTC date-time";
        QTest::newRow("decoding failure names the key")
            << QStringList{"check", "FILE"} << QByteArray(validFile).replace("\"inverted\":true", "\"inverted\":1") << 2
            << QStringList{} << "fingerprints[0].rules[0].conditions[0].rules[0].conditions[0].inverted: expected a boolean";
        QTest::newRow("not JSON") << QStringList{"check", "FILE"} << QByteArray("\xff\xfe garbage") << 2 << QStringList{}
                                  << "malformed JSON";
        QTest::newRow("missing file") << QStringList{"check", "/nonexistent/file.json"} << QByteArray() << 2 << QStringList{}
                                      << "cannot read /nonexistent/file.json: No such file or directory";
        QTest::newRow("directory") << QStringList{"check", "/"} << QByteArray() << 2 << QStringList{} << "cannot read /";
        QTest::newRow("no file") << QStringList{"check"} << QByteArray() << 2 << QStringList{} << "check needs exactly one FILE";
        QTest::newRow("unknown option") << QStringList{"check", "FILE", "--frobnicate"} << validFile << 2 << QStringList{}
                                        << "Unknown option 'frobnicate'";
        QTest::newRow("command help") << QStringList{"check", "--help"} << QByteArray() << 0
                                      << QStringList{"Usage: nerova-agent check FILE"} << "";
        QTest::newRow("help") << QStringList{"--help"} << QByteArray() << 0 << QStringList{"Commands:", "check FILE"} << "";
        QTest::newRow("version") << QStringList{"--version"} << QByteArray() << 0 << QStringList{"nerova-agent 0."} << "";
        QTest::newRow("unknown command") << QStringList{"frobnicate"} << QByteArray() << 2 << QStringList{}
                                         << "unknown command 'frobnicate'";
        QTest::newRow("no command") << QStringList{} << QByteArray() << 2 << QStringList{} << "no command given";
        // clang-format on
    }

    void commands()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, contents);
        QFETCH(int, exitCode);
        QFETCH(QStringList, expectedOut);
        QFETCH(QString, expectedErr);

        QTemporaryDir dir;
        const QString path = test::writeFile(dir, QStringLiteral("fingerprints.json"), contents);
        arguments.replaceInStrings(QRegularExpression(QStringLiteral("^FILE$")), path);
        arguments.prepend(QStringLiteral("nerova-agent"));

        test::ConsoleCapture capture;
        Console console(capture.out(), capture.err());
        const int code = QCoro::waitFor(runCommandLine(arguments, console));
        const QString out = capture.outText();
        const QString err = capture.errText();
        QVERIFY2(code == exitCode, qPrintable(QStringLiteral("exit %1\nout: %2\nerr: %3").arg(code).arg(out, err)));
        for (const QString& line : expectedOut) {
            QVERIFY2(out.contains(line), qPrintable(QStringLiteral("missing \"%1\" in:\n%2").arg(line, out)));
        }
        // An error is short: the message and at most a usage line.
        QVERIFY2(expectedErr.isEmpty() ? err.isEmpty() : err.contains(expectedErr) && err.count(u'\n') <= 2,
                 qPrintable(err));
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "CommandLineTest.moc"

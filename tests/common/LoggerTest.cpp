#include "common/Logger.h"
#include "common/CaptureLogSink.h"
#include "common/Error.h"

#include <QLoggingCategory>
#include <QTest>

#include <stdexcept>

using namespace nerova;

namespace {

class TestError final : public Error {
public:
    QString description() const override { return describeCase(QStringLiteral("timedOut"), QStringLiteral("x")); }
};

} // namespace

class LoggerTest : public QObject {
    Q_OBJECT

private slots:
    void rendering_data()
    {
        // clang-format off
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("two texts") << "Matched %s to %s" << QStringList{"10.1.2.3", "10/8"} << "Matched 10.1.2.3 to 10/8";
        QTest::newRow("length modifiers") << "Checking %s:%hu, got %ld" << QStringList{"h", "80", "404"} << "Checking h:80, got 404";
        QTest::newRow("object and bool") << "%@ / %{bool}d / %{public}s" << QStringList{"e", "true", "p"} << "e / true / p";
        QTest::newRow("percent sign") << "100%% of %s" << QStringList{"x"} << "100% of x";
        QTest::newRow("missing argument") << "a %s b %s" << QStringList{"1"} << "a 1 b <missing>";
        QTest::newRow("trailing percent") << "50%" << QStringList{} << "50%";
        QTest::newRow("unterminated brace") << "x %{bool" << QStringList{"1"} << "x %{bool";
        // clang-format on
    }

    void rendering()
    {
        QFETCH(QString, format);
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QCOMPARE(renderLogMessage(format, arguments), message);
    }

    void captureKeepsLinesInOrderAcrossDerivedLoggers()
    {
        auto sink = std::make_shared<CaptureLogSink>();
        const Logger logger(QStringLiteral("app.nerova.NerovaAgent"), QStringLiteral("RulesEngine"), sink);
        const Logger probe =
            logger.withCategory(QStringLiteral("com.nerova.NerovaAgent"), QStringLiteral("AsyncConnection"));

        logger.debug("Checking %s", QStringLiteral("10.1.2.3"));
        probe.info("Read %ld bytes", qint64(12));
        logger.error("Error checking fingerprint %@", TestError());
        logger.info("%@", std::runtime_error("plain"));
        logger.debug("Regex result is %{bool}d", false);

        QCOMPARE(sink->formats(),
                 (QStringList{"debug Checking %s", "info Read %ld bytes", "error Error checking fingerprint %@",
                              "info %@", "debug Regex result is %{bool}d"}));
        QCOMPARE(sink->messages(), (QStringList{"debug Checking 10.1.2.3", "info Read 12 bytes",
                                                "error Error checking fingerprint timedOut(\"x\")", "info plain",
                                                "debug Regex result is false"}));
        QCOMPARE(sink->records()[1].category, QStringLiteral("AsyncConnection"));
        QCOMPARE(sink->records()[1].subsystem, QStringLiteral("com.nerova.NerovaAgent"));
    }

    void systemSinkFollowsTheLoggingRules()
    {
        const auto quiet = makeSystemLogSink(false);
        QVERIFY(!quiet->isDebugEnabled(QStringLiteral("QuietCategory")));
        QVERIFY(makeSystemLogSink(true)->isDebugEnabled(QStringLiteral("QuietCategory")));
        QLoggingCategory::setFilterRules(QStringLiteral("nerova.LoudCategory.debug=true"));
        QVERIFY(quiet->isDebugEnabled(QStringLiteral("LoudCategory")));
        QVERIFY(!quiet->isDebugEnabled(QStringLiteral("QuietCategory")));
        QLoggingCategory::setFilterRules(QString());
    }
};

QTEST_GUILESS_MAIN(LoggerTest)
#include "LoggerTest.moc"

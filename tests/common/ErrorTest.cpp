#include "common/Error.h"

#include <QTest>

#include <stdexcept>

using namespace nerova;

namespace {

struct SampleCases {
    NEROVA_ERROR_CASES(first, // a comment between the cases
                       second, third);
};

class TextError final : public ErrorFamily<SampleCases> {
public:
    using ErrorFamily::ErrorFamily;
};
class OptionalError final : public ErrorFamily<SampleCases, std::optional<QString>> {
public:
    using ErrorFamily::ErrorFamily;
};
class BareError final : public ErrorFamily<SampleCases, std::monostate> {
public:
    using ErrorFamily::ErrorFamily;
};

} // namespace

class ErrorTest : public QObject {
    Q_OBJECT

private slots:
    void descriptions_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("expected");
        // clang-format off
        QTest::newRow("text payload") << TextError(TextError::Case::third, "33").description() << "third(\"33\")";
        QTest::newRow("escaped payload") << TextError(TextError::Case::first, "a\"b\\c\nd").description() << "first(\"a\\\"b\\\\c\\nd\")";
        QTest::newRow("optional payload") << OptionalError(OptionalError::Case::second, QString("x")).description() << "second(\"x\")";
        QTest::newRow("optional payload absent") << OptionalError(OptionalError::Case::second).description() << "second";
        QTest::newRow("no payload") << BareError(BareError::Case::third).description() << "third";
        QTest::newRow("what() of our own") << QString::fromUtf8(TextError(TextError::Case::second, "ü").what()) << "second(\"ü\")";
        QTest::newRow("other exceptions") << describeException(std::runtime_error("plain")) << "plain";
        // clang-format on
    }

    void descriptions()
    {
        QFETCH(QString, description);
        QFETCH(QString, expected);
        QCOMPARE(description, expected);
    }
};

QTEST_GUILESS_MAIN(ErrorTest)
#include "ErrorTest.moc"

#include "rules/CIDRv4.h"

#include <QTest>

using namespace nerova;

Q_DECLARE_METATYPE(CIDRErrors::Case)

class CIDRv4Test : public QObject {
    Q_OBJECT

private slots:
    void construction_data()
    {
        // clang-format off
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("network");  // -1: construction fails
        QTest::addColumn<qint64>("maskBits");
        QTest::addColumn<CIDRErrors::Case>("errorCase");
        QTest::addColumn<QString>("carried");

        const auto ok = CIDRErrors::Case::invalidCIDR; // unused for valid rows
        QTest::newRow("host bits cleared") << "10.1.2.3/8" << 167772160LL << 8LL << ok << "";
        QTest::newRow("single host") << "192.168.1.7/32" << 3232235783LL << 32LL << ok << "";
        QTest::newRow("mask 1") << "200.0.0.0/1" << 2147483648LL << 1LL << ok << "";
        QTest::newRow("plus sign on mask") << "10.0.0.0/+8" << 167772160LL << 8LL << ok << "";
        QTest::newRow("empty octet dropped") << "10..0.0.1/24" << 167772160LL << 24LL << ok << "";
        QTest::newRow("plus sign on octet") << "+10.0.0.1/24" << 167772160LL << 24LL << ok << "";
        QTest::newRow("leading zeros are decimal") << "010.0.0.1/24" << 167772160LL << 24LL << ok << "";
        QTest::newRow("doubled slash dropped") << "10.0.0.0//8" << 167772160LL << 8LL << ok << "";
        QTest::newRow("minus zero octet") << "-0.0.0.0/8" << 0LL << 8LL << ok << "";

        QTest::newRow("mask 0") << "0.0.0.0/0" << -1LL << 0LL << CIDRErrors::Case::invalidCIDR << "0";
        QTest::newRow("mask 33") << "10.0.0.0/33" << -1LL << 0LL << CIDRErrors::Case::invalidCIDR << "33";
        QTest::newRow("negative mask") << "10.0.0.0/-8" << -1LL << 0LL << CIDRErrors::Case::invalidCIDR << "-8";
        QTest::newRow("mask not a number") << "10.0.0.0/abc" << -1LL << 0LL << CIDRErrors::Case::invalidCIDRMask << "abc";
        QTest::newRow("mask with space") << "10.0.0.0/ 8" << -1LL << 0LL << CIDRErrors::Case::invalidCIDRMask << " 8";
        QTest::newRow("mask sign only") << "10.0.0.0/+" << -1LL << 0LL << CIDRErrors::Case::invalidCIDRMask << "+";
        QTest::newRow("mask overflows 64 bits")
            << "10.0.0.0/9223372036854775808" << -1LL << 0LL << CIDRErrors::Case::invalidCIDRMask << "9223372036854775808";
        QTest::newRow("mask at 64-bit limit")
            << "10.0.0.0/9223372036854775807" << -1LL << 0LL << CIDRErrors::Case::invalidCIDR << "9223372036854775807";
        QTest::newRow("no slash") << "10.0.0.0" << -1LL << 0LL << CIDRErrors::Case::invalidCIDR << "10.0.0.0";
        QTest::newRow("two slashes") << "10.0.0.0/8/9" << -1LL << 0LL << CIDRErrors::Case::invalidCIDR << "10.0.0.0/8/9";
        QTest::newRow("mask only") << "/24" << -1LL << 0LL << CIDRErrors::Case::invalidCIDR << "/24";
        QTest::newRow("empty") << "" << -1LL << 0LL << CIDRErrors::Case::invalidCIDR << "";
        QTest::newRow("three octets") << "10.0.0/24" << -1LL << 0LL << CIDRErrors::Case::invalidDottedQuad << "10.0.0";
        QTest::newRow("octet 256") << "10.0.0.256/24" << -1LL << 0LL << CIDRErrors::Case::invalidCIDR << "10.0.0.256";
        QTest::newRow("negative octet") << "10.0.-1.0/24" << -1LL << 0LL << CIDRErrors::Case::invalidCIDR << "10.0.-1.0";
        QTest::newRow("octet not a number") << "10.0.0.x/24" << -1LL << 0LL << CIDRErrors::Case::invalidDottedQuad << "10.0.0.x";
        QTest::newRow("octet overflows 64 bits")
            << "10.0.0.99999999999999999999/24" << -1LL << 0LL << CIDRErrors::Case::invalidDottedQuad
            << "10.0.0.99999999999999999999";
        QTest::newRow("mask checked before address") << "garbage/40" << -1LL << 0LL << CIDRErrors::Case::invalidCIDR << "40";
        // clang-format on
    }

    void construction()
    {
        QFETCH(QString, text);
        QFETCH(qint64, network);
        QFETCH(qint64, maskBits);
        QFETCH(CIDRErrors::Case, errorCase);
        QFETCH(QString, carried);

        if (network >= 0) {
            const CIDRv4 range(text);
            QCOMPARE(range.network(), network);
            QCOMPARE(range.maskBits(), maskBits);
            QCOMPARE(range.network() & CIDRv4::netmask(range.maskBits()), range.network());
            return;
        }
        try {
            const CIDRv4 range(text);
            QFAIL(qPrintable("accepted: " + range.debugDescription()));
        } catch (const CIDRErrors& error) {
            QCOMPARE(error.errorCase(), errorCase);
            QCOMPARE(error.text(), carried);
        }
    }

    void contains_data()
    {
        // clang-format off
        QTest::addColumn<QString>("range");
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("expected");

        QTest::newRow("inside /8") << "10.1.2.3/8" << "10.200.0.1" << true;
        QTest::newRow("network address") << "10.1.2.3/8" << "10.0.0.0" << true;
        QTest::newRow("next network") << "10.1.2.3/8" << "11.0.0.0" << false;
        QTest::newRow("/32 itself") << "192.168.1.7/32" << "192.168.1.7" << true;
        QTest::newRow("/32 neighbour") << "192.168.1.7/32" << "192.168.1.8" << false;
        QTest::newRow("/1 upper half") << "128.0.0.0/1" << "255.255.255.255" << true;
        QTest::newRow("/1 lower half") << "128.0.0.0/1" << "127.255.255.255" << false;
        QTest::newRow("lenient address text") << "10.0.0.0/8" << "010..1.2.3" << true;
        // clang-format on
    }

    void contains()
    {
        QFETCH(QString, range);
        QFETCH(QString, address);
        QFETCH(bool, expected);
        QCOMPARE(CIDRv4(range).contains(address), expected);
    }

    void containsRaisesForBadAddresses_data()
    {
        // clang-format off
        QTest::addColumn<QString>("address");
        QTest::addColumn<CIDRErrors::Case>("errorCase");
        QTest::newRow("five parts") << "10.1.2.3.4" << CIDRErrors::Case::invalidDottedQuad;
        QTest::newRow("IPv6 text") << "2001:db8::1" << CIDRErrors::Case::invalidDottedQuad;
        QTest::newRow("octet out of range") << "10.1.2.300" << CIDRErrors::Case::invalidCIDR;
        // clang-format on
    }

    void containsRaisesForBadAddresses()
    {
        QFETCH(QString, address);
        QFETCH(CIDRErrors::Case, errorCase);
        try {
            CIDRv4(QStringLiteral("10.0.0.0/8")).contains(address);
            QFAIL("no error raised");
        } catch (const CIDRErrors& error) {
            QCOMPARE(error.errorCase(), errorCase);
            QCOMPARE(error.text(), address);
        }
    }

    void netmaskAndDescriptions()
    {
        QCOMPARE(CIDRv4::netmask(8), 4278190080LL);
        QCOMPARE(CIDRv4::netmask(32), 4294967295LL);
        QCOMPARE(CIDRv4::netmask(1), 2147483648LL);
        QCOMPARE(CIDRv4::dottedQuadValue(QStringLiteral("255.255.255.255")), 4294967295LL);
        QCOMPARE(CIDRv4(QStringLiteral("10.1.2.3/8")).debugDescription(),
                 QStringLiteral("Network = 167772160 maskBits=8"));
        QCOMPARE(CIDRErrors(CIDRErrors::Case::invalidCIDR, QStringLiteral("33")).description(),
                 QStringLiteral("invalidCIDR(\"33\")"));
        QCOMPARE(QString::fromUtf8(CIDRErrors(CIDRErrors::Case::invalidCIDRMask, QStringLiteral("a\"b")).what()),
                 QStringLiteral("invalidCIDRMask(\"a\\\"b\")"));
    }
};

QTEST_GUILESS_MAIN(CIDRv4Test)
#include "CIDRv4Test.moc"

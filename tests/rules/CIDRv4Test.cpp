#include "rules/CIDRv4.h"

#include <QTest>

using namespace nerova;

class CIDRv4Test : public QObject {
    Q_OBJECT

private slots:
    // A range alone gives its network and mask bits; with an address, whether it holds it. Refused
    // texts give the error with the text it carries.
    void ranges_data()
    {
        QTest::addColumn<QString>("range");
        QTest::addColumn<QString>("address"); // empty: none
        QTest::addColumn<QString>("expected");

        // clang-format off
        QTest::newRow("host bits cleared") << "10.1.2.3/8" << "" << "Network = 167772160 maskBits=8";
        QTest::newRow("single host") << "192.168.1.7/32" << "" << "Network = 3232235783 maskBits=32";
        QTest::newRow("plus sign on mask") << "10.0.0.0/+8" << "" << "Network = 167772160 maskBits=8";
        QTest::newRow("empty octet dropped") << "10..0.0.1/24" << "" << "Network = 167772160 maskBits=24";
        QTest::newRow("plus sign, leading zero on octet") << "+010.0.0.1/24" << "" << "Network = 167772160 maskBits=24";
        QTest::newRow("mask 0") << "0.0.0.0/0" << "" << R"(invalidCIDR("0"))";
        QTest::newRow("mask 33") << "10.0.0.0/33" << "" << R"(invalidCIDR("33"))";
        QTest::newRow("mask sign only") << "10.0.0.0/+" << "" << R"(invalidCIDRMask("+"))";
        QTest::newRow("mask beyond 64 bits") << "1.0.0.0/9223372036854775808" << ""
                                             << R"(invalidCIDRMask("9223372036854775808"))";
        QTest::newRow("mask at 64-bit limit") << "1.0.0.0/9223372036854775807" << ""
                                              << R"(invalidCIDR("9223372036854775807"))";
        QTest::newRow("two slashes") << "10.0.0.0/8/9" << "" << R"(invalidCIDR("10.0.0.0/8/9"))";
        QTest::newRow("mask only") << "/24" << "" << R"(invalidCIDR("/24"))";
        QTest::newRow("octet 256") << "10.0.0.256/24" << "" << R"(invalidCIDR("10.0.0.256"))";
        QTest::newRow("negative octet") << "10.0.-1.0/24" << "" << R"(invalidCIDR("10.0.-1.0"))";
        QTest::newRow("octet not a number") << "10.0.0.x/24" << "" << R"(invalidDottedQuad("10.0.0.x"))";
        QTest::newRow("mask checked before address") << "garbage/40" << "" << R"(invalidCIDR("40"))";

        QTest::newRow("inside /8") << "10.1.2.3/8" << "10.200.0.1" << "true";
        QTest::newRow("next network") << "10.1.2.3/8" << "11.0.0.0" << "false";
        QTest::newRow("/32 itself") << "192.168.1.7/32" << "192.168.1.7" << "true";
        QTest::newRow("/32 neighbour") << "192.168.1.7/32" << "192.168.1.8" << "false";
        QTest::newRow("/1 upper half") << "128.0.0.0/1" << "255.255.255.255" << "true";
        QTest::newRow("/1 lower half") << "128.0.0.0/1" << "127.255.255.255" << "false";
        // clang-format on
    }

    void ranges()
    {
        QFETCH(QString, range);
        QFETCH(QString, address);
        QFETCH(QString, expected);
        try {
            const CIDRv4 cidr(range);
            QCOMPARE(address.isEmpty() ? cidr.debugDescription() : QVariant(cidr.contains(address)).toString(),
                     expected);
        } catch (const CIDRErrors& error) {
            QCOMPARE(error.description(), expected);
        }
    }
};

QTEST_GUILESS_MAIN(CIDRv4Test)
#include "CIDRv4Test.moc"

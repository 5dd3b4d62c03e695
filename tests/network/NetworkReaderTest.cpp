#include "network/NetworkReader.h"

#include <QTest>

using namespace nerova;

class NetworkReaderTest : public QObject {
    Q_OBJECT

private slots:
    void filter_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("kept");
        // clang-format off
        QTest::newRow("IPv4 loopback") << "127.0.0.1" << false;
        QTest::newRow("any 127. address") << "127.8.9.10" << false;
        QTest::newRow("IPv6 loopback") << "::1" << false;
        QTest::newRow("link-local with scope") << "fe80::ff:fe4e:5600%nv0" << false;
        QTest::newRow("text that merely starts like ::1") << "::10" << false;
        QTest::newRow("IPv4 link-local stays") << "169.254.7.8" << true;
        QTest::newRow("127 not at the start") << "10.127.0.1" << true;
        QTest::newRow("::1 after the first characters") << "2001:db8::1" << true;
        QTest::newRow("prefix test is case-sensitive") << "FE80::1" << true;
        // clang-format on
    }

    void filter()
    {
        QFETCH(QString, address);
        QFETCH(bool, kept);
        const std::vector<NetworkAddress> before{{AddressType::IPv4, QStringLiteral("a"), QStringLiteral("10.0.0.1")},
                                                 {AddressType::IPv6, QStringLiteral("b"), address},
                                                 {AddressType::IPv4, QStringLiteral("c"), QStringLiteral("10.0.0.2")}};
        const std::vector<NetworkAddress> after = filterInterfaceAddresses(before);
        QCOMPARE(after.size(), kept ? std::size_t(3) : std::size_t(2));
        QCOMPARE(after.front().name, QStringLiteral("a"));
        QCOMPARE(after.back().name, QStringLiteral("c"));
    }
};

QTEST_GUILESS_MAIN(NetworkReaderTest)
#include "NetworkReaderTest.moc"

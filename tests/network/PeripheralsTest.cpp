// The peripherals: EDID blobs of a few monitors and damaged ones, a sysfs fixture tree with
// monitors and USB devices, and which kernel device events count as a plug.
#include "network/Edid.h"
#include "platform/linux/PeripheralReader_linux.h"

#include <QFile>
#include <QTest>

#include <initializer_list>

using namespace nerova;

namespace {

const QString fixtures = QStringLiteral(NEROVA_FIXTURES);

QByteArray edidFile(const char* name)
{
    QFile file(fixtures + QStringLiteral("/edid/") + QLatin1String(name) + QStringLiteral(".bin"));
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("missing fixture %s", qPrintable(file.fileName()));
    }
    return file.readAll();
}

// `blob` with `bytes` written at `offset` and the base block's checksum made right again.
QByteArray patched(QByteArray blob, int offset, const QByteArray& bytes)
{
    blob.replace(offset, bytes.size(), bytes);
    unsigned sum = 0;
    for (int i = 0; i < 127; ++i) {
        sum += static_cast<unsigned char>(blob[i]);
    }
    blob[127] = static_cast<char>((256 - sum % 256) % 256);
    return blob;
}

// "kind|id|name|unique" per peripheral: a failed comparison shows which entry differs.
QStringList lines(const std::vector<Peripheral>& peripherals)
{
    QStringList lines;
    for (const Peripheral& p : peripherals) {
        lines << QStringLiteral("%1|%2|%3|%4").arg(rawValue(p.kind), p.id, p.name, p.uniqueSerial ? "true" : "false");
    }
    return lines;
}

// A kernel uevent: the header and the fields, each ending in a zero byte.
QByteArray uevent(std::initializer_list<const char*> fields)
{
    QByteArray message;
    for (const char* field : fields) {
        message += field;
        message += '\0';
    }
    return message;
}

} // namespace

class PeripheralsTest : public QObject {
    Q_OBJECT

private slots:
    void decodesEdid_data()
    {
        QTest::addColumn<QByteArray>("blob");
        QTest::addColumn<QString>("id"); // empty: nothing decoded
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("unique");

        const QByteArray dell = edidFile("dell-u2415");
        const QByteArray samsung = edidFile("samsung-serial-text");
        QTest::newRow("1.4 with serial text and an extension block") << dell << "display:DEL-a0c4-4c393232-7MT0186I2L4L"
                                                                     << "DELL U2415" << true;
        QTest::newRow("laptop panel without name or serial") << edidFile("boe-nv156fhm") << "display:BOE-0747-00000000"
                                                             << "BOE 0747" << false;
        QTest::newRow("placeholder serial number, no serial text")
            << edidFile("lg-placeholder") << "display:GSM-5b09-01010101"
            << "LG ULTRAFINE" << false;
        QTest::newRow("serial number 0 with serial text") << samsung << "display:SAM-0f35-00000000-H4ZH400512"
                                                          << "S24E650" << true;
        // The serial descriptor made an alphanumeric one (0xfe), which says nothing of the device.
        QTest::newRow("serial number only") << patched(dell, 72 + 3, "\xfe") << "display:DEL-a0c4-4c393232"
                                            << "DELL U2415" << true;
        QTest::newRow("13 text bytes without a line feed, odd bytes escaped")
            << patched(samsung, 108 + 5,
                       QByteArray(" 12\x07"
                                  "34\xe9"
                                  "5678  ",
                                  13))
            << "display:SAM-0f35-00000000-12\\x0734\\xe95678"
            << "S24E650" << true;
        QTest::newRow("truncated") << dell.first(127) << ""
                                   << "" << false;
        QTest::newRow("empty") << QByteArray() << ""
                               << "" << false;
        QByteArray corrupt = dell;
        corrupt[20] = static_cast<char>(corrupt[20] ^ 0x10);
        QTest::newRow("bad checksum") << corrupt << ""
                                      << "" << false;
        QTest::newRow("bad header, right checksum") << patched(dell, 1, "\xfe") << ""
                                                    << "" << false;
    }

    void decodesEdid()
    {
        QFETCH(QByteArray, blob);
        QFETCH(QString, id);
        const std::optional<EdidIdentity> identity = decodeEdid(blob);
        QCOMPARE(identity.has_value(), !id.isEmpty());
        if (identity) {
            QCOMPARE(identity->peripheralId(), id);
            QTEST(identity->displayName(), "name");
            QTEST(identity->uniqueSerial(), "unique");
        }
    }

    void readsSysfsTree()
    {
        // card0-DP-1 has no monitor (an empty edid), card0-DP-2 mirrors the monitor of HDMI-A-1, card1-DP-3 is
        // cut short; usb1/usb2 are root hubs, 1-1 a hub, 1-2:1.0 an interface, 1-4 is a second keyboard like 1-3
        // (its serial a symlink loop).
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("card1-DP-3/edid is not valid"));
        QCOMPARE(lines(PeripheralReader(fixtures + QStringLiteral("/sysfs")).read()),
                 QStringList({
                     "display|display:BOE-0747-00000000|BOE 0747|false",
                     "display|display:DEL-a0c4-4c393232-7MT0186I2L4L|DELL U2415|true",
                     "usb|usb:046d:c31c|Logitech USB Keyboard|false",
                     "usb|usb:0781:5581:4C530001230517117353|SanDisk Ultra|true",
                     "usb|usb:0bda:8153:000001|USB 10/100/1000 LAN|true",
                     "usb|usb:1050:0407|usb:1050:0407|false",
                     "usb|usb:17ef:a387:1S40AS0090EUZVWA0B4XY|Lenovo ThinkPad USB-C Dock Gen2|true",
                 }));
        QVERIFY(PeripheralReader(fixtures + QStringLiteral("/missing")).read().empty());
    }

    void recognisesPlugEvents_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("plug");

        const char* card = "change@/devices/pci0000:00/0000:00:02.0/drm/card0";
        QTest::newRow("monitor plugged") << uevent({card, "ACTION=change",
                                                    "DEVPATH=/devices/pci0000:00/0000:00:02.0/drm/card0",
                                                    "SUBSYSTEM=drm", "HOTPLUG=1", "DEVNAME=dri/card0",
                                                    "DEVTYPE=drm_minor", "SEQNUM=4021"})
                                         << true;
        QTest::newRow("usb device added") << uevent({"add@/devices/pci0000:00/0000:00:14.0/usb1/1-2", "ACTION=add",
                                                     "SUBSYSTEM=usb", "DEVTYPE=usb_device", "PRODUCT=17ef/a387/5011"})
                                          << true;
        QByteArray unterminated =
            uevent({"remove@/devices/usb1/1-3", "ACTION=remove", "SUBSYSTEM=usb", "DEVTYPE=usb_device"});
        unterminated.chop(1);
        QTest::newRow("usb device removed, last field unterminated") << unterminated << true;
        QTest::newRow("action from the header") << uevent({"add@/devices/drm/card1", "SUBSYSTEM=drm"}) << true;
        QTest::newRow("usb interface") << uevent({"add@/devices/usb1/1-2/1-2:1.0", "ACTION=add", "SUBSYSTEM=usb",
                                                  "DEVTYPE=usb_interface"})
                                       << false;
        QTest::newRow("usb bind") << uevent({"bind@/devices/usb1/1-2", "ACTION=bind", "SUBSYSTEM=usb",
                                             "DEVTYPE=usb_device"})
                                  << false;
        QTest::newRow("block device") << uevent({"add@/devices/virtual/block/loop0", "ACTION=add", "SUBSYSTEM=block",
                                                 "DEVTYPE=disk"})
                                      << false;
        QTest::newRow("udev's format") << QByteArray("libudev\0\xfe\xed\xca\xfeSUBSYSTEM=drm\0", 26) << false;
        QTest::newRow("no header") << uevent({"ACTION=add", "SUBSYSTEM=drm"}) << false;
        QTest::newRow("garbage") << QByteArray("@\0\0=\0SUBSYSTEM\0", 15) << false;
        QTest::newRow("empty") << QByteArray() << false;
    }

    void recognisesPlugEvents()
    {
        QFETCH(QByteArray, message);
        QTEST(isPeripheralUevent(message), "plug");
    }
};

QTEST_GUILESS_MAIN(PeripheralsTest)

#include "PeripheralsTest.moc"

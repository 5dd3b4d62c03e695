#include "platform/linux/SystemSources_linux.h"

#include <QFile>
#include <QSysInfo>

#include <array>

namespace nerova {

namespace {

// Texts that firmware writes where the maker left the serial number out; they identify nothing.
constexpr std::array placeholderSerials{
    "To Be Filled By O.E.M.",
    "Default string",
    "System Serial Number",
    "Chassis Serial Number",
    "Not Specified",
    "Not Applicable",
    "None",
    "N/A",
    "0",
    "0123456789",
    "Serial Number",
    "SerialNumber",
};

std::optional<QByteArray> readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt; // missing, or readable by root only (product_serial often is)
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        return std::nullopt;
    }
    return bytes;
}

// A value of an environment-style file: surrounding quotes removed, backslash escapes resolved.
QString unquote(QStringView value)
{
    if (value.size() >= 2 && value.front() == u'\'' && value.back() == u'\'') {
        return value.sliced(1, value.size() - 2).toString();
    }
    if (value.size() >= 2 && value.front() == u'"' && value.back() == u'"') {
        value = value.sliced(1, value.size() - 2);
    }
    QString text;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == u'\\' && i + 1 < value.size()) {
            ++i;
        }
        text += value[i];
    }
    return text;
}

class DmiMachineFacts final : public MachineFacts {
public:
    DmiMachineFacts(QString dmiDirectory, QString machineInfoFile)
        : dmiDirectory_(std::move(dmiDirectory)), machineInfoFile_(std::move(machineInfoFile))
    {}

    std::optional<QString> serialNumber() const override
    {
        const auto bytes = readFile(dmiDirectory_ + QStringLiteral("/product_serial"));
        if (!bytes) {
            return std::nullopt;
        }
        const QString serial = QString::fromUtf8(*bytes).trimmed();
        for (const char* placeholder : placeholderSerials) {
            if (serial.compare(QLatin1String(placeholder), Qt::CaseInsensitive) == 0) {
                return std::nullopt;
            }
        }
        return serial.isEmpty() ? std::nullopt : std::optional(serial);
    }

    std::optional<QByteArray> model() const override
    {
        return readFile(dmiDirectory_ + QStringLiteral("/product_name"));
    }

    std::optional<int> chassisType() const override
    {
        const auto bytes = readFile(dmiDirectory_ + QStringLiteral("/chassis_type"));
        bool ok = false;
        const int type = bytes ? bytes->trimmed().toInt(&ok) : 0;
        return ok ? std::optional(type & 0x7f) : std::nullopt; // bit 7 only says whether a lock is present
    }

    // PRETTY_HOSTNAME of machine-info when set, else the host name.
    std::optional<QString> computerName() const override
    {
        QString pretty;
        if (const auto bytes = readFile(machineInfoFile_)) {
            const QString text = QString::fromUtf8(*bytes);
            for (QStringView line : QStringView(text).split(u'\n')) {
                line = line.trimmed();
                if (line.startsWith(u"PRETTY_HOSTNAME=")) {
                    pretty = unquote(line.sliced(16)).trimmed();
                }
            }
        }
        if (!pretty.isEmpty()) {
            return pretty;
        }
        const QString host = QSysInfo::machineHostName();
        return host.isEmpty() ? std::nullopt : std::optional(host);
    }

private:
    QString dmiDirectory_;
    QString machineInfoFile_;
};

} // namespace

std::shared_ptr<const MachineFacts> makeDmiMachineFacts(QString dmiDirectory, QString machineInfoFile)
{
    return std::make_shared<DmiMachineFacts>(std::move(dmiDirectory), std::move(machineInfoFile));
}

std::shared_ptr<const MachineFacts> makeMachineFacts()
{
    return makeDmiMachineFacts(QStringLiteral("/sys/class/dmi/id"), QStringLiteral("/etc/machine-info"));
}

} // namespace nerova

// Fingerprints suggested from snapshots: the evidence they rest on, strongest first; they decode;
// they match the place they were made at and not another place.
#include "rules/FingerprintSuggestion.h"
#include "common/Await.h"
#include "rules/FingerprintFileJson.h"
#include "rules/RulesEngine.h"

#include <QTest>

using namespace nerova;

namespace {

NetworkContext office()
{
    NetworkContext context{"203.0.113.7",
                           {{AddressType::IPv4, "eth0", "10.1.2.3", 16},
                            {AddressType::IPv6, "eth0", "2001:db8::3", 64},
                            {AddressType::IPv4, "docker0", "172.17.0.1", 16}},
                           std::nullopt,
                           {{"eth0", "02:00:5e:00:00:03"}}};
    context.evidence = {{{"eth0", "10.1.0.1", "02:00:5e:10:00:01", false}, {"wg0", std::nullopt, std::nullopt, true}},
                        {{"wlan0", "Corp", "02:00:5e:20:00:01"}},
                        {"corp.example", "lab.corp.example"},
                        {{PeripheralKind::display, "display:DEL-a0c4-4c4b3231", "DELL U2720Q", true},
                         {PeripheralKind::usb, "usb:046d:c52b", "Logitech USB Receiver", false}}};
    return context;
}

NetworkContext home()
{
    NetworkContext context{"198.51.100.9", {{AddressType::IPv4, "wlan0", "192.168.1.20", 24}}, std::nullopt, {}};
    context.evidence.gateways = {{"wlan0", "192.168.1.1", "02:00:5e:30:00:01", false}};
    return context;
}

// Saved before prefixes and evidence were recorded: every address counts, with a /24.
NetworkContext savedLongAgo()
{
    return {std::nullopt,
            {{AddressType::IPv4, "en0", "10.9.8.7"}, {AddressType::IPv4, "en1", "10.9.8.9"}},
            std::nullopt,
            {}};
}

std::optional<QString> matchOf(const Fingerprint& fingerprint, const NetworkContext& context)
{
    const std::optional<Fingerprint> match =
        await(RulesEngine(nullptr).checkFingerprints({{fingerprint}, 1, {}}, context));
    return match ? std::optional(match->fingerprintId) : std::nullopt;
}

} // namespace

class FingerprintSuggestionTest : public QObject {
    Q_OBJECT

private slots:
    void suggestions()
    {
        const struct {
            const char* name;
            NetworkContext here;
            std::optional<QString> placeId;
            QStringList rules;
            NetworkContext elsewhere;
        } rows[] = {
            {"office, a zone",
             office(),
             std::nullopt,
             {"Default gateway 02:00:5e:10:00:01 (eth0)", "Wi-Fi \"Corp\" at access point 02:00:5e:20:00:01",
              "DNS domain corp.example", "Internal network 10.1.0.0/16 (eth0) (private range)",
              "External address 203.0.113.7/32"},
             home()},
            {"office, a desk",
             office(),
             "desk-7",
             {"Default gateway 02:00:5e:10:00:01 (eth0)", "Wi-Fi \"Corp\" at access point 02:00:5e:20:00:01",
              "DNS domain corp.example", "Internal network 10.1.0.0/16 (eth0) (private range)",
              "External address 203.0.113.7/32", "Peripheral DELL U2720Q"},
             home()},
            {"home",
             home(),
             std::nullopt,
             {"Default gateway 02:00:5e:30:00:01 (wlan0)", "Internal network 192.168.1.0/24 (wlan0) (private range)",
              "External address 198.51.100.9/32"},
             office()},
            {"saved long ago",
             savedLongAgo(),
             std::nullopt,
             {"Internal network 10.9.8.0/24 (en0) (private range)"},
             office()},
        };
        for (const auto& [name, here, placeId, rules, elsewhere] : rows) {
            const Fingerprint suggested =
                suggestFingerprint(here, {"fp-new", "New place", {"hq", std::nullopt, std::nullopt, placeId}});
            QStringList names;
            for (const FingerprintRule& rule : suggested.rules) {
                names << rule.name;
            }
            QCOMPARE(names, rules);
            const QByteArray file =
                R"({"fingerprintVersion":1,"createdAt":"2026-12-07T08:00:00.000Z","fingerprints":[)" +
                QByteArray::fromStdString(encodeFingerprint(suggested).dump()) + "]}";
            const FingerprintFile decoded = decodeFingerprintFile(file, TimestampForm::served);
            QVERIFY2(decoded.fingerprints.size() == 1 && decoded.fingerprints[0].rules == suggested.rules, name);
            QCOMPARE(matchOf(decoded.fingerprints[0], here), std::optional<QString>("fp-new"));
            QCOMPARE(matchOf(decoded.fingerprints[0], elsewhere), std::nullopt);
        }
        QVERIFY(suggestFingerprint(NetworkContext{}, {"fp", "Nowhere", {"hq", std::nullopt, std::nullopt, std::nullopt}}).rules.empty());
    }
};

QTEST_GUILESS_MAIN(FingerprintSuggestionTest)
#include "FingerprintSuggestionTest.moc"

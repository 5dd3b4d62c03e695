<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>AgentTexts</name>
    <message>
        <source>Not configured</source>
        <translation>Nicht eingerichtet</translation>
    </message>
    <message>
        <source>Outside reporting hours</source>
        <translation>Außerhalb der Meldezeiten</translation>
    </message>
    <message>
        <source>Reporting paused until %1</source>
        <translation>Meldungen pausiert bis %1</translation>
    </message>
    <message>
        <source>undecided</source>
        <translation>unentschieden</translation>
    </message>
    <message>
        <source>true</source>
        <translation>wahr</translation>
    </message>
    <message>
        <source>false</source>
        <translation>falsch</translation>
    </message>
    <message>
        <source>not needed</source>
        <translation>nicht benötigt</translation>
    </message>
    <message>
        <source>registration</source>
        <translation>Registrierung</translation>
    </message>
    <message>
        <source>completion</source>
        <translation>Abschluss</translation>
    </message>
    <message>
        <source>check-in</source>
        <translation>Check-in</translation>
    </message>
    <message>
        <source>presence</source>
        <translation>Anwesenheit</translation>
    </message>
    <message>
        <source>download</source>
        <translation>Download</translation>
    </message>
    <message>
        <source>accepted</source>
        <translation>angenommen</translation>
    </message>
    <message>
        <source>refused</source>
        <translation>abgelehnt</translation>
    </message>
    <message>
        <source>failed</source>
        <translation>fehlgeschlagen</translation>
    </message>
    <message>
        <source>not modified</source>
        <translation>unverändert</translation>
    </message>
</context>
<context>
    <name>EvaluationTree</name>
    <message>
        <source>own %1</source>
        <translation>eigen %1</translation>
    </message>
    <message>
        <source>nested %1</source>
        <translation>verschachtelt %1</translation>
    </message>
    <message>
        <source>inverted</source>
        <translation>invertiert</translation>
    </message>
    <message>
        <source>Rule %1</source>
        <translation>Regel %1</translation>
    </message>
    <message>
        <source>matched</source>
        <translation>zutreffend</translation>
    </message>
    <message>
        <source>not matched</source>
        <translation>nicht zutreffend</translation>
    </message>
</context>
<context>
    <name>FingerprintTree</name>
    <message>
        <source>Inverted</source>
        <translation>Invertiert</translation>
    </message>
    <message>
        <source>Fingerprint file version: %1</source>
        <translation>Version der Fingerabdruck-Datei: %1</translation>
    </message>
    <message>
        <source>Internal IP in %1</source>
        <translation>Interne IP in %1</translation>
    </message>
    <message>
        <source>External IP in %1</source>
        <translation>Externe IP in %1</translation>
    </message>
    <message>
        <source>Ping %1</source>
        <translation>Ping an %1</translation>
    </message>
    <message>
        <source>Web content at %1 contains %2</source>
        <translation>Webinhalt unter %1 enthält %2</translation>
    </message>
    <message>
        <source>Content at %1 contains %2</source>
        <translation>Inhalt unter %1 enthält %2</translation>
    </message>
    <message>
        <source>Or Condition</source>
        <translation>Oder-Bedingung</translation>
    </message>
    <message>
        <source>Gateway %1 at %2</source>
        <translation>Gateway %1 unter %2</translation>
    </message>
    <message>
        <source>Gateway %1</source>
        <translation>Gateway %1</translation>
    </message>
    <message>
        <source>Wi-Fi %1</source>
        <translation>WLAN %1</translation>
    </message>
    <message>
        <source>DNS domain %1</source>
        <translation>DNS-Domäne %1</translation>
    </message>
    <message>
        <source>Through a tunnel</source>
        <translation>Über einen Tunnel</translation>
    </message>
    <message>
        <source>Peripheral %1</source>
        <translation>Peripheriegerät %1</translation>
    </message>
    <message>
        <source>name: %1
Location: %2</source>
        <translation>Name: %1
Standort: %2</translation>
    </message>
</context>
<context>
    <name>NoneOrContent</name>
    <message>
        <source>None</source>
        <translation>Keine Daten</translation>
    </message>
</context>
<context>
    <name>StatusRows</name>
    <message>
        <source>Unknown</source>
        <translation>Unbekannt</translation>
    </message>
    <message>
        <source>Unknown Device</source>
        <translation>Unbekanntes Gerät</translation>
    </message>
    <message>
        <source>Never</source>
        <translation>Nie</translation>
    </message>
    <message>
        <source>Agent Id:</source>
        <translation>Agent-ID:</translation>
    </message>
    <message>
        <source>Registered:</source>
        <translation>Registriert:</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>Ja</translation>
    </message>
    <message>
        <source>No</source>
        <translation>Nein</translation>
    </message>
    <message>
        <source>Last check-in:</source>
        <translation>Letzter Check-in:</translation>
    </message>
    <message>
        <source>Last presence check</source>
        <translation>Letzte Anwesenheitsprüfung:</translation>
    </message>
    <message>
        <source>Last presence sent</source>
        <translation>Letzte Anwesenheitsmeldung:</translation>
    </message>
    <message>
        <source>User name:</source>
        <translation>Benutzername:</translation>
    </message>
    <message>
        <source>Machine name:</source>
        <translation>Rechnername:</translation>
    </message>
    <message>
        <source>Device type:</source>
        <translation>Gerätetyp:</translation>
    </message>
    <message>
        <source>Serial number:</source>
        <translation>Seriennummer:</translation>
    </message>
    <message>
        <source>Location:</source>
        <translation>Standort:</translation>
    </message>
    <message>
        <source>Not determined</source>
        <translation>Nicht ermittelt</translation>
    </message>
    <message>
        <source>Peripherals:</source>
        <translation>Peripheriegeräte:</translation>
    </message>
    <message>
        <source>None</source>
        <translation>Keine</translation>
    </message>
</context>
<context>
    <name>nerova::ActivityTableModel</name>
    <message>
        <source>Time</source>
        <translation>Zeit</translation>
    </message>
    <message>
        <source>Request</source>
        <translation>Anfrage</translation>
    </message>
    <message>
        <source>Outcome</source>
        <translation>Ergebnis</translation>
    </message>
    <message>
        <source>Detail</source>
        <translation>Details</translation>
    </message>
</context>
<context>
    <name>nerova::ActivityView</name>
    <message>
        <source>The public IP lookup and the network tests (ping, TCP, web pages) do not go to the service and are not recorded.</source>
        <translation>Die Abfrage der öffentlichen IP-Adresse und die Netzwerktests (Ping, TCP, Webseiten) gehen nicht an den Dienst und werden nicht aufgezeichnet.</translation>
    </message>
</context>
<context>
    <name>nerova::DesktopApplication</name>
    <message>
        <source>Nerova Agent: %1</source>
        <translation>Nerova Agent: %1</translation>
    </message>
    <message>
        <source>Nerova Agent: no location</source>
        <translation>Nerova Agent: kein Standort</translation>
    </message>
</context>
<context>
    <name>nerova::FirstLaunchNotice</name>
    <message>
        <source>Show details</source>
        <translation>Details anzeigen</translation>
    </message>
    <message>
        <source>Nerova Agent reports your work location</source>
        <translation>Nerova Agent meldet Ihren Arbeitsort</translation>
    </message>
    <message>
        <source>The agent reports your work location to your company&apos;s presence service. The Activity and Privacy tabs of its window show what it sends.</source>
        <translation>Der Agent meldet Ihren Arbeitsort an den Anwesenheitsdienst Ihres Unternehmens. Die Registerkarten „Aktivität“ und „Datenschutz“ seines Fensters zeigen, was er sendet.</translation>
    </message>
</context>
<context>
    <name>nerova::NetworkTableModel</name>
    <message>
        <source>direct</source>
        <translation>direkt</translation>
    </message>
    <message>
        <source>Interface name</source>
        <translation>Schnittstelle</translation>
    </message>
    <message>
        <source>MAC address</source>
        <translation>MAC-Adresse</translation>
    </message>
    <message>
        <source>Gateway</source>
        <translation>Gateway</translation>
    </message>
    <message>
        <source>Wi-Fi</source>
        <translation>WLAN</translation>
    </message>
    <message>
        <source>Address type</source>
        <translation>Adresstyp</translation>
    </message>
    <message>
        <source>Address</source>
        <translation>Adresse</translation>
    </message>
    <message>
        <source>Unknown</source>
        <translation>Unbekannt</translation>
    </message>
</context>
<context>
    <name>nerova::NetworkTableView</name>
    <message>
        <source>External IPv4 address:</source>
        <translation>Externe IPv4-Adresse:</translation>
    </message>
    <message>
        <source>External IPv6 address:</source>
        <translation>Externe IPv6-Adresse:</translation>
    </message>
</context>
<context>
    <name>nerova::PrivacyModel</name>
    <message>
        <source>not allowed</source>
        <translation>nicht erlaubt</translation>
    </message>
    <message>
        <source>allowed</source>
        <translation>erlaubt</translation>
    </message>
    <message>
        <source>location</source>
        <translation>Standort</translation>
    </message>
    <message>
        <source>level</source>
        <translation>Etage</translation>
    </message>
    <message>
        <source>zone</source>
        <translation>Zone</translation>
    </message>
    <message>
        <source>place</source>
        <translation>Platz</translation>
    </message>
    <message>
        <source>your company&apos;s presence service (its address is not set yet)</source>
        <translation>den Anwesenheitsdienst Ihres Unternehmens (seine Adresse ist noch nicht festgelegt)</translation>
    </message>
    <message>
        <source>your company&apos;s presence service at %1</source>
        <translation>den Anwesenheitsdienst Ihres Unternehmens unter %1</translation>
    </message>
    <message>
        <source>What the agent reads on this computer</source>
        <translation>Was der Agent auf diesem Computer liest</translation>
    </message>
    <message>
        <source>To find out where you work, the agent reads the network this computer is connected to: its network interfaces and their hardware addresses, its IP addresses and its public address, the default gateways, the Wi-Fi network and the DNS domains. It also reads which monitors and USB devices are connected, whether the screen is locked and whether the mouse was clicked today, your user name, and this computer&apos;s name, model and serial number.</source>
        <translation>Um herauszufinden, wo Sie arbeiten, liest der Agent das Netzwerk, mit dem dieser Computer verbunden ist: seine Netzwerkschnittstellen und deren Hardware-Adressen, seine IP-Adressen und seine öffentliche Adresse, die Standard-Gateways, das WLAN und die DNS-Domänen. Außerdem liest er, welche Monitore und USB-Geräte angeschlossen sind, ob der Bildschirm gesperrt ist und ob heute mit der Maus geklickt wurde, Ihren Benutzernamen sowie Name, Modell und Seriennummer dieses Computers.</translation>
    </message>
    <message>
        <source>What it sends, and where</source>
        <translation>Was er sendet, und wohin</translation>
    </message>
    <message>
        <source>The agent sends its requests to one service, %1:
• Registration, once: the agent&apos;s identifier and public key, your company&apos;s registration key, your user name, this computer&apos;s name and serial number and the agent&apos;s version; then a request that completes the registration.
• Check-in, about once an hour: the agent&apos;s version and the version of its fingerprint file (your company&apos;s description of its locations).
• Presence report, when your location changes and once a day: who you are (the agent&apos;s identifier, which the service knows from the registration), the matched location and the time.
• Download of the fingerprint file, from the address the service gives at check-in.
The Activity tab lists every request sent to the service. Two other kinds of request carry nothing about you: the lookup of this computer&apos;s public address at %2, and the checks that the fingerprint file asks for (ping, connection and web checks of the hosts it names).</source>
        <translation>Der Agent sendet seine Anfragen an einen einzigen Dienst, %1:
• Registrierung, einmalig: die Kennung und der öffentliche Schlüssel des Agenten, der Registrierungsschlüssel Ihres Unternehmens, Ihr Benutzername, Name und Seriennummer dieses Computers und die Version des Agenten; danach eine Anfrage, die die Registrierung abschließt.
• Check-in, etwa einmal pro Stunde: die Version des Agenten und die Version seiner Fingerabdruck-Datei (der Beschreibung der Standorte Ihres Unternehmens).
• Anwesenheitsmeldung, wenn sich Ihr Standort ändert, und einmal am Tag: wer Sie sind (die Kennung des Agenten, die der Dienst von der Registrierung kennt), der erkannte Standort und die Uhrzeit.
• Download der Fingerabdruck-Datei von der Adresse, die der Dienst beim Check-in nennt.
Die Registerkarte „Aktivität“ listet jede Anfrage an den Dienst auf. Zwei weitere Arten von Anfragen enthalten nichts über Sie: die Abfrage der öffentlichen Adresse dieses Computers bei %2 und die Prüfungen, die die Fingerabdruck-Datei verlangt (Ping-, Verbindungs- und Webprüfungen der darin genannten Hosts).</translation>
    </message>
    <message>
        <source>What never leaves this computer</source>
        <translation>Was diesen Computer nie verlässt</translation>
    </message>
    <message>
        <source>The network snapshot (addresses, gateways, Wi-Fi networks, DNS domains, monitors and USB devices), the evidence a location is decided on, and the results of the checks. The agent decides on this computer and sends only the matched location.</source>
        <translation>Die Momentaufnahme des Netzwerks (Adressen, Gateways, WLAN-Netze, DNS-Domänen, Monitore und USB-Geräte), die Anhaltspunkte, nach denen ein Standort bestimmt wird, und die Ergebnisse der Prüfungen. Der Agent entscheidet auf diesem Computer und sendet nur den erkannten Standort.</translation>
    </message>
    <message>
        <source>Reporting hours:</source>
        <translation>Meldezeiten:</translation>
    </message>
    <message>
        <source>any time</source>
        <translation>jederzeit</translation>
    </message>
    <message>
        <source>Pause:</source>
        <translation>Pausieren:</translation>
    </message>
    <message>
        <source>Report precision:</source>
        <translation>Meldegenauigkeit:</translation>
    </message>
    <message>
        <source>any time (the policy&apos;s value cannot be used)</source>
        <translation>jederzeit (der Wert der Richtlinie ist nicht verwendbar)</translation>
    </message>
</context>
<context>
    <name>nerova::PrivacyView</name>
    <message>
        <source>Policy in force</source>
        <translation>Geltende Richtlinie</translation>
    </message>
    <message>
        <source>Company notice:</source>
        <translation>Hinweis des Unternehmens:</translation>
    </message>
</context>
<context>
    <name>nerova::StatusWindow</name>
    <message>
        <source>Fingerprint</source>
        <translation>Fingerabdruck</translation>
    </message>
    <message>
        <source>Inverted</source>
        <translation>Invertiert</translation>
    </message>
    <message>
        <source>Test</source>
        <translation>Prüfung</translation>
    </message>
    <message>
        <source>Result</source>
        <translation>Ergebnis</translation>
    </message>
    <message>
        <source>Observed</source>
        <translation>Beobachtet</translation>
    </message>
    <message>
        <source>Agent</source>
        <translation>Agent</translation>
    </message>
    <message>
        <source>Machine</source>
        <translation>Rechner</translation>
    </message>
    <message>
        <source>Interfaces</source>
        <translation>Schnittstellen</translation>
    </message>
    <message>
        <source>Addresses</source>
        <translation>Adressen</translation>
    </message>
    <message>
        <source>Fingerprints</source>
        <translation>Fingerabdrücke</translation>
    </message>
    <message>
        <source>Evaluation</source>
        <translation>Auswertung</translation>
    </message>
    <message>
        <source>Activity</source>
        <translation>Aktivität</translation>
    </message>
    <message>
        <source>Privacy</source>
        <translation>Datenschutz</translation>
    </message>
    <message>
        <source>Matched: %1</source>
        <translation>Erkannt: %1</translation>
    </message>
    <message>
        <source>No fingerprint matched.</source>
        <translation>Kein Fingerabdruck trifft zu.</translation>
    </message>
    <message>
        <source>The evaluation failed: %1</source>
        <translation>Die Auswertung ist fehlgeschlagen: %1</translation>
    </message>
    <message>
        <source>Last evaluation: %1. %2</source>
        <translation>Letzte Auswertung: %1. %2</translation>
    </message>
</context>
<context>
    <name>nerova::TrayMenu</name>
    <message>
        <source>Pause reporting</source>
        <translation>Meldungen pausieren</translation>
    </message>
</context>
<context>
    <name>nerova::TrayMenuModel</name>
    <message>
        <source>Unknown</source>
        <translation>unbekannt</translation>
    </message>
    <message>
        <source>Not determined</source>
        <translation>Nicht ermittelt</translation>
    </message>
    <message>
        <source>Show window</source>
        <translation>Fenster anzeigen</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Aktualisieren</translation>
    </message>
    <message>
        <source>Resume reporting</source>
        <translation>Meldungen fortsetzen</translation>
    </message>
    <message>
        <source>For one hour</source>
        <translation>Für eine Stunde</translation>
    </message>
    <message>
        <source>Until tomorrow</source>
        <translation>Bis morgen</translation>
    </message>
    <message>
        <source>Quit Nerova Agent</source>
        <translation>Nerova Agent beenden</translation>
    </message>
    <message>
        <source>Version %1-%2</source>
        <translation>Version %1-%2</translation>
    </message>
</context>
</TS>

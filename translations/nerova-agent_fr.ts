<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR">
<context>
    <name>AgentTexts</name>
    <message>
        <source>Not configured</source>
        <translation>Non configuré</translation>
    </message>
    <message>
        <source>Outside reporting hours</source>
        <translation>En dehors des heures de signalement</translation>
    </message>
    <message>
        <source>Reporting paused until %1</source>
        <translation>Signalement suspendu jusqu&apos;au %1</translation>
    </message>
    <message>
        <source>undecided</source>
        <translation>indéterminé</translation>
    </message>
    <message>
        <source>true</source>
        <translation>vrai</translation>
    </message>
    <message>
        <source>false</source>
        <translation>faux</translation>
    </message>
    <message>
        <source>not needed</source>
        <translation>pas nécessaire</translation>
    </message>
    <message>
        <source>registration</source>
        <translation>enregistrement</translation>
    </message>
    <message>
        <source>completion</source>
        <translation>finalisation</translation>
    </message>
    <message>
        <source>check-in</source>
        <translation>synchronisation</translation>
    </message>
    <message>
        <source>presence</source>
        <translation>présence</translation>
    </message>
    <message>
        <source>download</source>
        <translation>téléchargement</translation>
    </message>
    <message>
        <source>accepted</source>
        <translation>accepté</translation>
    </message>
    <message>
        <source>refused</source>
        <translation>refusé</translation>
    </message>
    <message>
        <source>failed</source>
        <translation>échoué</translation>
    </message>
    <message>
        <source>not modified</source>
        <translation>non modifié</translation>
    </message>
</context>
<context>
    <name>EvaluationTree</name>
    <message>
        <source>own %1</source>
        <translation>propre %1</translation>
    </message>
    <message>
        <source>nested %1</source>
        <translation>imbriqué %1</translation>
    </message>
    <message>
        <source>inverted</source>
        <translation>inversé</translation>
    </message>
    <message>
        <source>Rule %1</source>
        <translation>Règle %1</translation>
    </message>
    <message>
        <source>matched</source>
        <translation>correspond</translation>
    </message>
    <message>
        <source>not matched</source>
        <translation>ne correspond pas</translation>
    </message>
</context>
<context>
    <name>FingerprintTree</name>
    <message>
        <source>Inverted</source>
        <translation>Inversé</translation>
    </message>
    <message>
        <source>Fingerprint file version: %1</source>
        <translation>Version du fichier d&apos;empreintes&#xa0;: %1</translation>
    </message>
    <message>
        <source>Internal IP in %1</source>
        <translation>IP interne dans %1</translation>
    </message>
    <message>
        <source>External IP in %1</source>
        <translation>IP externe dans %1</translation>
    </message>
    <message>
        <source>Ping %1</source>
        <translation>Ping vers %1</translation>
    </message>
    <message>
        <source>Web content at %1 contains %2</source>
        <translation>Le contenu web à %1 contient %2</translation>
    </message>
    <message>
        <source>Content at %1 contains %2</source>
        <translation>Le contenu à %1 contient %2</translation>
    </message>
    <message>
        <source>Or Condition</source>
        <translation>Condition Ou</translation>
    </message>
    <message>
        <source>Gateway %1 at %2</source>
        <translation>Passerelle %1 à %2</translation>
    </message>
    <message>
        <source>Gateway %1</source>
        <translation>Passerelle %1</translation>
    </message>
    <message>
        <source>Wi-Fi %1</source>
        <translation>Wi-Fi %1</translation>
    </message>
    <message>
        <source>DNS domain %1</source>
        <translation>Domaine DNS %1</translation>
    </message>
    <message>
        <source>Through a tunnel</source>
        <translation>Par un tunnel</translation>
    </message>
    <message>
        <source>Peripheral %1</source>
        <translation>Périphérique %1</translation>
    </message>
    <message>
        <source>name: %1
Location: %2</source>
        <translation>nom&#xa0;: %1
Emplacement&#xa0;: %2</translation>
    </message>
</context>
<context>
    <name>NoneOrContent</name>
    <message>
        <source>None</source>
        <translation>Aucune donnée</translation>
    </message>
</context>
<context>
    <name>StatusRows</name>
    <message>
        <source>Unknown</source>
        <translation>Inconnu</translation>
    </message>
    <message>
        <source>Unknown Device</source>
        <translation>Appareil inconnu</translation>
    </message>
    <message>
        <source>Never</source>
        <translation>Jamais</translation>
    </message>
    <message>
        <source>Agent Id:</source>
        <translation>Identifiant de l&apos;agent&#xa0;:</translation>
    </message>
    <message>
        <source>Registered:</source>
        <translation>Enregistré&#xa0;:</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>Oui</translation>
    </message>
    <message>
        <source>No</source>
        <translation>Non</translation>
    </message>
    <message>
        <source>Last check-in:</source>
        <translation>Dernière synchronisation&#xa0;:</translation>
    </message>
    <message>
        <source>Last presence check</source>
        <translation>Dernière vérification de présence&#xa0;:</translation>
    </message>
    <message>
        <source>Last presence sent</source>
        <translation>Dernière présence envoyée&#xa0;:</translation>
    </message>
    <message>
        <source>User name:</source>
        <translation>Nom d&apos;utilisateur&#xa0;:</translation>
    </message>
    <message>
        <source>Machine name:</source>
        <translation>Nom de la machine&#xa0;:</translation>
    </message>
    <message>
        <source>Device type:</source>
        <translation>Type d&apos;appareil&#xa0;:</translation>
    </message>
    <message>
        <source>Serial number:</source>
        <translation>Numéro de série&#xa0;:</translation>
    </message>
    <message>
        <source>Location:</source>
        <translation>Emplacement&#xa0;:</translation>
    </message>
    <message>
        <source>Not determined</source>
        <translation>Non déterminé</translation>
    </message>
    <message>
        <source>Peripherals:</source>
        <translation>Périphériques&#xa0;:</translation>
    </message>
    <message>
        <source>None</source>
        <translation>Aucun</translation>
    </message>
</context>
<context>
    <name>nerova::ActivityTableModel</name>
    <message>
        <source>Time</source>
        <translation>Heure</translation>
    </message>
    <message>
        <source>Request</source>
        <translation>Requête</translation>
    </message>
    <message>
        <source>Outcome</source>
        <translation>Résultat</translation>
    </message>
    <message>
        <source>Detail</source>
        <translation>Détail</translation>
    </message>
</context>
<context>
    <name>nerova::ActivityView</name>
    <message>
        <source>The public IP lookup and the network tests (ping, TCP, web pages) do not go to the service and are not recorded.</source>
        <translation>La recherche de l&apos;adresse IP publique et les tests réseau (ping, TCP, pages web) ne passent pas par le service et ne sont pas enregistrés.</translation>
    </message>
</context>
<context>
    <name>nerova::DesktopApplication</name>
    <message>
        <source>Nerova Agent: %1</source>
        <translation>Nerova Agent : %1</translation>
    </message>
    <message>
        <source>Nerova Agent: no location</source>
        <translation>Nerova Agent : aucun lieu</translation>
    </message>
</context>
<context>
    <name>nerova::FirstLaunchNotice</name>
    <message>
        <source>Show details</source>
        <translation>Afficher les détails</translation>
    </message>
    <message>
        <source>Nerova Agent reports your work location</source>
        <translation>Nerova Agent signale votre lieu de travail</translation>
    </message>
    <message>
        <source>The agent reports your work location to your company&apos;s presence service. The Activity and Privacy tabs of its window show what it sends.</source>
        <translation>L&apos;agent signale votre lieu de travail au service de présence de votre entreprise. Les onglets Activité et Confidentialité de sa fenêtre montrent ce qu&apos;il envoie.</translation>
    </message>
</context>
<context>
    <name>nerova::NetworkTableModel</name>
    <message>
        <source>direct</source>
        <translation>liaison directe</translation>
    </message>
    <message>
        <source>Interface name</source>
        <translation>Nom de l&apos;interface</translation>
    </message>
    <message>
        <source>MAC address</source>
        <translation>Adresse MAC</translation>
    </message>
    <message>
        <source>Gateway</source>
        <translation>Passerelle</translation>
    </message>
    <message>
        <source>Wi-Fi</source>
        <translation>Wi-Fi</translation>
    </message>
    <message>
        <source>Address type</source>
        <translation>Type d&apos;adresse</translation>
    </message>
    <message>
        <source>Address</source>
        <translation>Adresse</translation>
    </message>
    <message>
        <source>Unknown</source>
        <translation>Inconnue</translation>
    </message>
</context>
<context>
    <name>nerova::NetworkTableView</name>
    <message>
        <source>External IPv4 address:</source>
        <translation>Adresse IPv4 externe&#xa0;:</translation>
    </message>
    <message>
        <source>External IPv6 address:</source>
        <translation>Adresse IPv6 externe&#xa0;:</translation>
    </message>
</context>
<context>
    <name>nerova::PrivacyModel</name>
    <message>
        <source>not allowed</source>
        <translation>non autorisée</translation>
    </message>
    <message>
        <source>allowed</source>
        <translation>autorisée</translation>
    </message>
    <message>
        <source>location</source>
        <translation>site</translation>
    </message>
    <message>
        <source>level</source>
        <translation>étage</translation>
    </message>
    <message>
        <source>zone</source>
        <translation>zone</translation>
    </message>
    <message>
        <source>place</source>
        <translation>poste</translation>
    </message>
    <message>
        <source>your company&apos;s presence service (its address is not set yet)</source>
        <translation>le service de présence de votre entreprise (son adresse n&apos;est pas encore définie)</translation>
    </message>
    <message>
        <source>your company&apos;s presence service at %1</source>
        <translation>le service de présence de votre entreprise à l&apos;adresse %1</translation>
    </message>
    <message>
        <source>What the agent reads on this computer</source>
        <translation>Ce que l&apos;agent lit sur cet ordinateur</translation>
    </message>
    <message>
        <source>To find out where you work, the agent reads the network this computer is connected to: its network interfaces and their hardware addresses, its IP addresses and its public address, the default gateways, the Wi-Fi network and the DNS domains. It also reads which monitors and USB devices are connected, whether the screen is locked and whether the mouse was clicked today, your user name, and this computer&apos;s name, model and serial number.</source>
        <translation>Pour savoir où vous travaillez, l&apos;agent lit le réseau auquel cet ordinateur est connecté&#xa0;: ses interfaces réseau et leurs adresses matérielles, ses adresses IP et son adresse publique, les passerelles par défaut, le réseau Wi-Fi et les domaines DNS. Il lit aussi quels écrans et périphériques USB sont branchés, si l&apos;écran est verrouillé et si la souris a été utilisée aujourd&apos;hui, votre nom d&apos;utilisateur, ainsi que le nom, le modèle et le numéro de série de cet ordinateur.</translation>
    </message>
    <message>
        <source>What it sends, and where</source>
        <translation>Ce qu&apos;il envoie, et où</translation>
    </message>
    <message>
        <source>The agent sends its requests to one service, %1:
• Registration, once: the agent&apos;s identifier and public key, your company&apos;s registration key, your user name, this computer&apos;s name and serial number and the agent&apos;s version; then a request that completes the registration.
• Check-in, about once an hour: the agent&apos;s version and the version of its fingerprint file (your company&apos;s description of its locations).
• Presence report, when your location changes and once a day: who you are (the agent&apos;s identifier, which the service knows from the registration), the matched location and the time.
• Download of the fingerprint file, from the address the service gives at check-in.
The Activity tab lists every request sent to the service. Two other kinds of request carry nothing about you: the lookup of this computer&apos;s public address at %2, and the checks that the fingerprint file asks for (ping, connection and web checks of the hosts it names).</source>
        <translation>L&apos;agent envoie ses requêtes à un seul service, %1&#xa0;:
• Enregistrement, une fois&#xa0;: l&apos;identifiant et la clé publique de l&apos;agent, la clé d&apos;enregistrement de votre entreprise, votre nom d&apos;utilisateur, le nom et le numéro de série de cet ordinateur et la version de l&apos;agent&#xa0;; puis une requête qui termine l&apos;enregistrement.
• Synchronisation, environ une fois par heure&#xa0;: la version de l&apos;agent et celle de son fichier d&apos;empreintes (la description des sites de votre entreprise).
• Signalement de présence, quand votre emplacement change et une fois par jour&#xa0;: qui vous êtes (l&apos;identifiant de l&apos;agent, que le service connaît depuis l&apos;enregistrement), l&apos;emplacement reconnu et l&apos;heure.
• Téléchargement du fichier d&apos;empreintes, depuis l&apos;adresse que le service indique lors de la synchronisation.
L&apos;onglet Activité liste chaque requête envoyée au service. Deux autres types de requêtes ne transmettent rien vous concernant&#xa0;: la recherche de l&apos;adresse publique de cet ordinateur auprès de %2, et les vérifications que demande le fichier d&apos;empreintes (ping, connexion et vérifications web des hôtes qu&apos;il nomme).</translation>
    </message>
    <message>
        <source>What never leaves this computer</source>
        <translation>Ce qui ne quitte jamais cet ordinateur</translation>
    </message>
    <message>
        <source>The network snapshot (addresses, gateways, Wi-Fi networks, DNS domains, monitors and USB devices), the evidence a location is decided on, and the results of the checks. The agent decides on this computer and sends only the matched location.</source>
        <translation>L&apos;instantané du réseau (adresses, passerelles, réseaux Wi-Fi, domaines DNS, écrans et périphériques USB), les éléments sur lesquels un emplacement est déterminé, et les résultats des vérifications. L&apos;agent décide sur cet ordinateur et n&apos;envoie que l&apos;emplacement reconnu.</translation>
    </message>
    <message>
        <source>Reporting hours:</source>
        <translation>Heures de signalement&#xa0;:</translation>
    </message>
    <message>
        <source>any time</source>
        <translation>à tout moment</translation>
    </message>
    <message>
        <source>Pause:</source>
        <translation>Suspension&#xa0;:</translation>
    </message>
    <message>
        <source>Report precision:</source>
        <translation>Précision du signalement&#xa0;:</translation>
    </message>
    <message>
        <source>any time (the policy&apos;s value cannot be used)</source>
        <translation>à tout moment (la valeur de la stratégie est inutilisable)</translation>
    </message>
</context>
<context>
    <name>nerova::PrivacyView</name>
    <message>
        <source>Policy in force</source>
        <translation>Règles en vigueur</translation>
    </message>
    <message>
        <source>Company notice:</source>
        <translation>Avis de l&apos;entreprise&#xa0;:</translation>
    </message>
</context>
<context>
    <name>nerova::StatusWindow</name>
    <message>
        <source>Fingerprint</source>
        <translation>Empreinte</translation>
    </message>
    <message>
        <source>Inverted</source>
        <translation>Inversé</translation>
    </message>
    <message>
        <source>Test</source>
        <translation>Vérification</translation>
    </message>
    <message>
        <source>Result</source>
        <translation>Résultat</translation>
    </message>
    <message>
        <source>Observed</source>
        <translation>Observé</translation>
    </message>
    <message>
        <source>Agent</source>
        <translation>Agent</translation>
    </message>
    <message>
        <source>Machine</source>
        <translation>Ordinateur</translation>
    </message>
    <message>
        <source>Interfaces</source>
        <translation>Interfaces</translation>
    </message>
    <message>
        <source>Addresses</source>
        <translation>Adresses</translation>
    </message>
    <message>
        <source>Fingerprints</source>
        <translation>Empreintes</translation>
    </message>
    <message>
        <source>Evaluation</source>
        <translation>Évaluation</translation>
    </message>
    <message>
        <source>Activity</source>
        <translation>Activité</translation>
    </message>
    <message>
        <source>Privacy</source>
        <translation>Confidentialité</translation>
    </message>
    <message>
        <source>Matched: %1</source>
        <translation>Reconnu&#xa0;: %1</translation>
    </message>
    <message>
        <source>No fingerprint matched.</source>
        <translation>Aucune empreinte ne correspond.</translation>
    </message>
    <message>
        <source>The evaluation failed: %1</source>
        <translation>L&apos;évaluation a échoué&#xa0;: %1</translation>
    </message>
    <message>
        <source>Last evaluation: %1. %2</source>
        <translation>Dernière évaluation&#xa0;: %1. %2</translation>
    </message>
</context>
<context>
    <name>nerova::TrayMenu</name>
    <message>
        <source>Pause reporting</source>
        <translation>Suspendre le signalement</translation>
    </message>
</context>
<context>
    <name>nerova::TrayMenuModel</name>
    <message>
        <source>Unknown</source>
        <translation>inconnu</translation>
    </message>
    <message>
        <source>Not determined</source>
        <translation>Non déterminé</translation>
    </message>
    <message>
        <source>Show window</source>
        <translation>Afficher la fenêtre</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Actualiser</translation>
    </message>
    <message>
        <source>Resume reporting</source>
        <translation>Reprendre le signalement</translation>
    </message>
    <message>
        <source>For one hour</source>
        <translation>Pendant une heure</translation>
    </message>
    <message>
        <source>Until tomorrow</source>
        <translation>Jusqu&apos;à demain</translation>
    </message>
    <message>
        <source>Quit Nerova Agent</source>
        <translation>Quitter Nerova Agent</translation>
    </message>
    <message>
        <source>Version %1-%2</source>
        <translation>Version %1-%2</translation>
    </message>
</context>
</TS>

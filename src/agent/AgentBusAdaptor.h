#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QTimer>
#include <QVariantMap>

#include <chrono>

namespace nerova {

class Agent;

// Where the running agent is found on the session bus.
namespace agentbus {
inline constexpr const char* serviceName = "app.nerova.NerovaAgent";
inline constexpr const char* objectPath = "/app/nerova/NerovaAgent";
inline constexpr const char* interfaceName = "app.nerova.NerovaAgent1";
} // namespace agentbus

// The running agent seen from the session bus: what the status window shows, as read-only
// properties whose changes are announced with PropertiesChanged, and the commands Refresh,
// CheckIn and Status (the whole state as JSON text). Times are ISO 8601 UTC text, empty when absent.
// Any client of the session bus may call: Refresh and CheckIn start at most one refresh or check-in
// per `callInterval`, and a call within it is answered at once. Check-ins asked for meanwhile merge
// into one at the interval's end; a refresh asked for meanwhile merges into the one started, whose
// context is still to come (the network monitor's quiet period). Pause (minutes), PauseUntilTomorrow
// and Resume act on the reports where the administrator allows pausing; a refused pause is answered
// with the error pauseRefusedError. `Message` carries what stands in for the location while the
// agent does not report, before the agent's own message.
class AgentBusAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "app.nerova.NerovaAgent1")
    Q_CLASSINFO(
        "D-Bus Introspection",
        "<interface name=\"app.nerova.NerovaAgent1\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"The running Nerova Agent of this session. Times "
        "are ISO 8601 UTC text, empty when absent; changes of the properties are announced with PropertiesChanged.\"/>"
        "<property name=\"Registered\" type=\"b\" access=\"read\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"Whether the machine is enrolled with the "
        "company's presence service.\"/>"
        "</property>"
        "<property name=\"LocationName\" type=\"s\" access=\"read\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"The name of the fingerprint that matches the "
        "current network; empty when none matches.\"/>"
        "</property>"
        "<property name=\"LocationId\" type=\"s\" access=\"read\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"The identifier of the fingerprint that matches "
        "the current network; empty when none matches.\"/>"
        "</property>"
        "<property name=\"LastCheckin\" type=\"s\" access=\"read\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"When the agent last checked in with the presence "
        "service.\"/>"
        "</property>"
        "<property name=\"LastPresenceCheck\" type=\"s\" access=\"read\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"When the agent last evaluated the fingerprints "
        "against the network.\"/>"
        "</property>"
        "<property name=\"LastPresenceSend\" type=\"s\" access=\"read\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"When the agent last reported a presence to the "
        "service.\"/>"
        "</property>"
        "<property name=\"Message\" type=\"s\" access=\"read\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"The agent's latest message for the user, such as "
        "a failed enrolment, after what stands in for the location while the agent does not report (outside the "
        "reporting hours, paused); empty when there is none.\"/>"
        "</property>"
        "<property name=\"FingerprintFileVersion\" type=\"x\" access=\"read\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"The version of the installed fingerprint file; 0 "
        "while none is installed.\"/>"
        "</property>"
        "<property name=\"PausedUntil\" type=\"s\" access=\"read\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"When the pause of the reports ends; empty when "
        "the reports are not paused.\"/>"
        "</property>"
        "<method name=\"Refresh\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"Reads the network again and evaluates the "
        "fingerprints. At most one refresh starts per interval; a call within it joins the one started.\"/>"
        "</method>"
        "<method name=\"CheckIn\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"Checks in with the presence service. At most one "
        "check-in starts per interval; calls within it merge into one at the interval's end.\"/>"
        "</method>"
        "<method name=\"Status\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"The whole state of the agent as JSON text, as "
        "'nerova-agent status --json' prints it.\"/>"
        "<arg name=\"status\" type=\"s\" direction=\"out\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"A JSON object: enrolment, message, times, the "
        "matched fingerprint, the installed file, the network context, the last evaluation and the reporting "
        "state.\"/>"
        "</arg>"
        "</method>"
        "<method name=\"Pause\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"Pauses the reports for a number of minutes "
        "(1 to 1440), where the policy allows it (allowPause); refused with the error "
        "app.nerova.NerovaAgent1.Error.PauseRefused otherwise.\"/>"
        "<arg name=\"minutes\" type=\"i\" direction=\"in\"/>"
        "<arg name=\"until\" type=\"s\" direction=\"out\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"When the pause ends.\"/>"
        "</arg>"
        "</method>"
        "<method name=\"PauseUntilTomorrow\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"Pauses the reports until the next local "
        "midnight, where the policy allows it.\"/>"
        "<arg name=\"until\" type=\"s\" direction=\"out\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"When the pause ends.\"/>"
        "</arg>"
        "</method>"
        "<method name=\"Resume\">"
        "<annotation name=\"org.freedesktop.DBus.DocString\" value=\"Ends a pause and evaluates the network at "
        "once.\"/>"
        "</method>"
        "</interface>")
    Q_PROPERTY(bool Registered READ registered)
    Q_PROPERTY(QString LocationName READ locationName)
    Q_PROPERTY(QString LocationId READ locationId)
    Q_PROPERTY(QString LastCheckin READ lastCheckin)
    Q_PROPERTY(QString LastPresenceCheck READ lastPresenceCheck)
    Q_PROPERTY(QString LastPresenceSend READ lastPresenceSend)
    Q_PROPERTY(QString Message READ message)
    Q_PROPERTY(qlonglong FingerprintFileVersion READ fingerprintFileVersion)
    Q_PROPERTY(QString PausedUntil READ pausedUntil)

public:
    static constexpr std::chrono::milliseconds defaultCallInterval{std::chrono::seconds(10)};
    static constexpr const char* pauseRefusedError = "app.nerova.NerovaAgent1.Error.PauseRefused";

    // Becomes a child of `agent`; announces changes on `connection`.
    AgentBusAdaptor(Agent& agent, QDBusConnection connection,
                    std::chrono::milliseconds callInterval = defaultCallInterval);

    bool registered() const;
    QString locationName() const;
    QString locationId() const;
    QString lastCheckin() const;
    QString lastPresenceCheck() const;
    QString lastPresenceSend() const;
    QString message() const;
    qlonglong fingerprintFileVersion() const; // 0 while no file is installed
    QString pausedUntil() const;              // empty when not paused

public slots:
    void Refresh();
    void CheckIn();
    QString Status();
    // Each answers the end of the pause (as PausedUntil), or, to the `call` it came in (none when
    // called directly), an error when refused.
    QString Pause(int minutes, const QDBusMessage& call);
    QString PauseUntilTomorrow(const QDBusMessage& call);
    void Resume();

private:
    QVariantMap properties() const;
    // The end of the pause, or the error reply for `refusal`.
    QString answerPause(const std::optional<QString>& refusal, const QDBusMessage& call);
    void announceChanges();

    // Whether a call may start its work now: none started within the interval.
    bool mayStart(QElapsedTimer& lastStart) const;

    Agent& agent_;
    QDBusConnection connection_;
    QVariantMap announced_;
    std::chrono::milliseconds callInterval_;
    QElapsedTimer lastRefresh_;
    QElapsedTimer lastCheckin_;
    QTimer mergedCheckin_; // the check-in that calls within the interval asked for
};

// How an agent holds its name. An agent without a window gives the name up to a desktop agent that
// starts in the same session (the user then has a tray icon), and learns so from the bus.
enum class BusNameRole { yieldsToDesktop, takesOver };

// Owns the agent's name on `connection` and exports `agent` there. Fails with a sentence for the
// user when there is no bus or when another agent owns the name (only one agent per session); a
// desktop agent (`takesOver`) takes the name from an agent without a window.
std::optional<QString> publishAgent(Agent& agent, QDBusConnection connection, BusNameRole role);

} // namespace nerova

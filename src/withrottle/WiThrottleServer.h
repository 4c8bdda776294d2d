#pragma once

#include "DCCFunctionEncoding.h"
#include "Observable.h"
#include "Subscription.h"
#include "WiThrottleOutlet.h"
#include "WiThrottleSettings.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class DCCController;

// The WiThrottle server's sessions: every phone connected, the locomotives each of its throttles
// holds, and the heartbeat. Lines and a clock come in, lines go out through a WiThrottleOutlet;
// no socket, no Qt. The locomotives themselves live in the cab: every command goes to the cab by
// address, and every change the cab announces (whoever made it: a phone, the window, a script, the
// station's own report) is pushed to every throttle holding that locomotive, each told only what
// differs from what it was last told.
//
// The greeting, sent on connect: "VN2.0", "HT<serverType>", "Ht<description>", the roster
// ("RL..."), and "PPA<0|1|2>" when the station switches track power. Later roster changes are sent
// to every phone as a new "RL..." line, track power changes as "PPA<0|1|2>".
//
// Lines taken (anything else is ignored; a bad address or an unsupported step code gets an "HM"
// alert):
//   N<name>        the phone's name; answered "*<P>" every time.
//   HU<id>         the device's id; an older connection with the same id is a ghost of this phone:
//                  its locomotives are released (speed unchanged, the phone reacquires them) and
//                  it is closed.
//   *+ / *- / *    heartbeat monitoring on, off; a keepalive.
//   PPA1 / PPA0    track power on or off (cab.setTrackPower; an alert when the cab cannot).
//   Q              the phone quits: its locomotives released, speed unchanged, the connection
//                  closed.
//   M<t>+<key><;>  acquire (M<t>S, the steal answer, is taken the same way: locomotives are always
//                  shared). Answered "M<t>+key<;>", the roster's labels ("M<t>Lkey<;>]\[..", roster
//                  locomotives only), F0 to F28, V, R and s. A key this throttle holds already is
//                  ignored.
//   M<t>-<key><;>  release (r or d alike), "*" = every locomotive of the throttle; answered
//                  "M<t>-key<;>" each. The speed stays.
//   M<t>A<key><;>  actions, "*" = every locomotive of the throttle; keys the throttle does not
//                  hold are ignored:
//                  V<n> speed (negative: emergency stop), X emergency stop, I idle (speed 0),
//                  R<0|1> direction, F<1|0><n> function pressed/released, f<1|0><n> function
//                  forced on/off, m<1|0><n> function n momentary/latching for this throttle,
//                  s<1|2|8> speed steps, qV qR qs qm queries, Q speed 0 and release.
// A pressed function toggles when latching and turns on when momentary; a released one turns off
// when momentary. Momentary functions are the locomotive's (its roster entry's, F2 without one),
// overridden per throttle by m.
//
// What goes out: "M<t>A<key><;>V<n>" (0 to 126, -126 when emergency-stopped), "R<d>",
// "F<0|1><n>" and "s<code>" whenever that differs from what the throttle was told last. The
// throttle that sent a speed is not told its own speed again; direction, functions and steps are
// echoed to every holder, the sender too.
//
// Speeds are not queued here: the cab rewrites each locomotive's standing speed record in place,
// so a newer speed from a phone replaces one still waiting to go out.
//
// When a phone goes away: after "*+", silence of more than P (any line counts as traffic) brings
// an emergency stop of every locomotive that connection holds, once per silence; silence of 3 P
// releases its locomotives ("M<t>-key<;>" to it) and closes it; traffic in between starts the
// count again. A connection that drops (disconnect) has its locomotives released, and those no
// other phone holds are stopped (speed 0) so that no train runs on with nobody to stop it;
// a phone that says Q leaves its trains running, as it asked. The window's own throttle does not
// count as a holder.
//
// Threading: main thread only. Lines go out synchronously, before the call (or the cab's
// announcement) that caused them returns. Ownership: the cab and the outlet are not owned and must
// outlive the server. Observable key "connections": the list of connections or what they hold
// changed.
class WiThrottleServer : public Observable {
public:
    using ConnectionId = WiThrottleOutlet::ConnectionId;
    using Clock = std::chrono::steady_clock;

    // One connection as the window lists it.
    struct Connection {
        ConnectionId id = 0;
        std::string peer;     // as the adapter named it at connect
        std::string name;     // from N, empty before
        std::string deviceId; // from HU, empty before
        bool heartbeatMonitored = false;
        // Each throttle in use, in the order the phone first used it, and the addresses it
        // holds, in the order acquired.
        std::vector<std::pair<char, std::vector<std::int64_t>>> throttles;

        bool operator==(const Connection&) const = default;
    };

    WiThrottleServer(DCCController& cab, WiThrottleOutlet& outlet,
                     WiThrottleSettings settings = WiThrottleSettings());
    ~WiThrottleServer() override;

    WiThrottleServer(const WiThrottleServer&) = delete;
    WiThrottleServer& operator=(const WiThrottleServer&) = delete;

    // A new connection from peer: sends the greeting and returns true. When maxConnections are
    // open already, sends an alert, closes it and returns false. An id already open is refused
    // (false, nothing sent).
    bool connect(ConnectionId connection, std::string peer, Clock::time_point now);
    // One line from connection, without its terminator (a trailing CR is dropped). Blank lines
    // and lines from connections not open are ignored; every other line counts as traffic.
    void receive(ConnectionId connection, std::string_view line, Clock::time_point now);
    // The socket went away: see above. Nothing is sent to it, and the outlet's close is not
    // called. An id not open does nothing.
    void disconnect(ConnectionId connection, Clock::time_point now);
    // The heartbeat: call at least every second or so. Stops and drops silent connections.
    void tick(Clock::time_point now);

    // The connections open, in the order they connected.
    std::vector<Connection> connections() const;
    // Releases the locomotive at address from every throttle of connection that holds it, and
    // tells the phone ("M<t>-key<;>"); the speed stays. False when it held none.
    bool takeAway(ConnectionId connection, std::int64_t address);

    const WiThrottleSettings& settings() const { return settings_; }
    // Takes effect from the next greeting, N answer and tick; connections open stay open even
    // above a lowered maximum.
    void setSettings(WiThrottleSettings settings);

private:
    struct Holding;
    struct Throttle;
    struct Session;
    struct Report;

    Session* find(ConnectionId connection);
    void send(const Session& session, const std::string& line);
    // Forgets session and closes it through the outlet.
    void close(ConnectionId connection);
    void take(Session& session, std::string_view line);
    void takeThrottleCommand(Session& session, std::string_view line);
    void acquire(Session& session, char throttle, std::string_view key);
    // Releases the matching locomotives of throttle (address empty: all), telling the phone when
    // tell is set; true if any.
    bool release(Session& session, char throttle, std::optional<std::int64_t> address, bool tell);
    void releaseAll(Session& session, bool tell);
    void act(Session& session, char throttle, std::string_view key, std::string_view action);
    void actOn(Session& session, Throttle& throttle, std::int64_t address, std::string_view action);
    void replaceGhostsOf(const Session& session);
    void switchPower(Session& session, bool on);
    // The addresses session holds, each once.
    std::vector<std::int64_t> addressesOf(const Session& session) const;
    // Whether a session other than session (null: any) holds address.
    bool heldByAnotherThan(const Session* session, std::int64_t address) const;

    Report reportOf(std::int64_t address) const;
    FunctionSet momentaryOf(const Holding& holding) const;
    // Tells every holder of address (0: of every locomotive) what changed.
    void pushChanges(std::int64_t address);
    void pushTo(const Session& session, char throttle, Holding& holding, const Report& report);
    void sendState(const Session& session, char throttle, Holding& holding);

    DCCController& cab_;
    WiThrottleOutlet& outlet_;
    WiThrottleSettings settings_;
    // In the order they connected; pointers stay put while others come and go.
    std::vector<std::unique_ptr<Session>> sessions_;
    Subscription locomotivesObserver_;
    Subscription powerObserver_;
    Subscription rosterObserver_;
};

#include "WiThrottleServer.h"

#include "DCCController.h"
#include "MainQueue.h"
#include "WiThrottleLine.h"

#include <algorithm>
#include <any>
#include <cassert>

// One locomotive on one throttle, and what that throttle was told of it last.
struct WiThrottleServer::Holding {
    std::int64_t address = 0;
    std::int64_t toldV = 0;
    std::int64_t toldDirection = 1;
    FunctionSet toldFunctions = 0;
    std::int64_t toldStepCode = 2;
    // The functions whose momentary flag this throttle set with m, and the flags it set.
    FunctionSet momentaryOverridden = 0;
    FunctionSet momentaryOverrides = 0;
    // This throttle's own speed command is under way: its V is not pushed back to it.
    bool speedInFlight = false;
};

struct WiThrottleServer::Throttle {
    char id = 0;
    std::vector<Holding> locomotives;

    Holding* holding(std::int64_t address) {
        auto found =
            std::find_if(locomotives.begin(), locomotives.end(),
                         [address](const Holding& held) { return held.address == address; });
        return found == locomotives.end() ? nullptr : &*found;
    }
};

struct WiThrottleServer::Session {
    ConnectionId id = 0;
    std::string peer;
    std::string name;
    std::string deviceId;
    bool heartbeatMonitored = false;
    Clock::time_point lastHeard;
    // The silence under way has had its emergency stop.
    bool stoppedForSilence = false;
    std::vector<Throttle> throttles;

    Throttle* throttle(char id) {
        auto found = std::find_if(throttles.begin(), throttles.end(),
                                  [id](const Throttle& throttle) { return throttle.id == id; });
        return found == throttles.end() ? nullptr : &*found;
    }
};

// A locomotive's state in the protocol's terms.
struct WiThrottleServer::Report {
    std::int64_t v = 0;
    std::int64_t direction = 1;
    FunctionSet functions = 0;
    std::int64_t stepCode = 2;
    FunctionSet momentary = defaultMomentaryFunctions;
};

namespace {

std::string functionLine(bool on, int function) {
    return std::string("F") + (on ? '1' : '0') + std::to_string(function);
}

} // namespace

WiThrottleServer::WiThrottleServer(DCCController& cab, WiThrottleOutlet& outlet,
                                   WiThrottleSettings settings)
    : cab_(cab), outlet_(outlet), settings_(std::move(settings)) {
    locomotivesObserver_ =
        cab_.addChangeObserver("locomotives", [this](std::string_view, const std::any& change) {
            const auto* address = std::any_cast<std::int64_t>(&change);
            pushChanges(address != nullptr ? *address : 0);
        });
    powerObserver_ = cab_.addObserver("trackPower", [this](std::string_view) {
        if (cab_.stationSwitchesPower()) {
            for (const auto& session : sessions_) {
                send(*session, WiThrottleLine::powerLine(cab_.trackPower()));
            }
        }
    });
    rosterObserver_ = cab_.addObserver("roster", [this](std::string_view) {
        for (const auto& session : sessions_) {
            send(*session, WiThrottleLine::rosterLine(cab_.roster()));
        }
    });
}

WiThrottleServer::~WiThrottleServer() = default;

// --- Connections -----------------------------------------------------------------------------

bool WiThrottleServer::connect(ConnectionId connection, std::string peer, Clock::time_point now) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (find(connection) != nullptr) {
        return false;
    }
    if (sessions_.size() >= settings_.maxConnections) {
        outlet_.send(connection, WiThrottleLine::alertLine(
                                     "Too many throttles connected (" +
                                     std::to_string(settings_.maxConnections) + "); try later"));
        outlet_.close(connection);
        return false;
    }
    auto session = std::make_unique<Session>();
    session->id = connection;
    session->peer = std::move(peer);
    session->lastHeard = now;
    sessions_.push_back(std::move(session));
    const Session& added = *sessions_.back();
    send(added, "VN2.0");
    send(added, "HT" + WiThrottleLine::oneLine(settings_.serverType));
    send(added, "Ht" + WiThrottleLine::oneLine(settings_.description));
    send(added, WiThrottleLine::rosterLine(cab_.roster()));
    if (cab_.stationSwitchesPower()) {
        send(added, WiThrottleLine::powerLine(cab_.trackPower()));
    }
    didChangeValueForKey("connections");
    return true;
}

void WiThrottleServer::receive(ConnectionId connection, std::string_view line,
                               Clock::time_point now) {
    DCCCAB_ASSERT_MAIN_THREAD();
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.remove_suffix(1);
    }
    Session* session = find(connection);
    if (session == nullptr || line.empty()) {
        return;
    }
    session->lastHeard = now;
    session->stoppedForSilence = false;
    take(*session, line);
}

void WiThrottleServer::disconnect(ConnectionId connection, Clock::time_point) {
    DCCCAB_ASSERT_MAIN_THREAD();
    Session* session = find(connection);
    if (session == nullptr) {
        return;
    }
    const std::vector<std::int64_t> held = addressesOf(*session);
    std::erase_if(sessions_, [session](const auto& open) { return open.get() == session; });
    didChangeValueForKey("connections");
    // Nobody is left to stop these trains: stop them now, not when somebody notices.
    for (std::int64_t address : held) {
        if (!heldByAnotherThan(nullptr, address) && cab_.findLocomotive(address) != nullptr) {
            cab_.setSpeedOf(address, 0);
        }
    }
}

void WiThrottleServer::tick(Clock::time_point now) {
    DCCCAB_ASSERT_MAIN_THREAD();
    const std::chrono::seconds period = settings_.heartbeat;
    if (period <= std::chrono::seconds::zero()) {
        return;
    }
    std::vector<ConnectionId> silent;
    for (const auto& session : sessions_) {
        if (!session->heartbeatMonitored) {
            continue;
        }
        const Clock::duration silence = now - session->lastHeard;
        if (silence > period && !session->stoppedForSilence) {
            session->stoppedForSilence = true;
            for (std::int64_t address : addressesOf(*session)) {
                cab_.emergencyStopOf(address);
            }
        }
        if (silence >= 3 * period) {
            silent.push_back(session->id);
        }
    }
    for (ConnectionId connection : silent) {
        if (Session* session = find(connection)) {
            releaseAll(*session, true);
            close(connection);
        }
    }
}

std::vector<WiThrottleServer::Connection> WiThrottleServer::connections() const {
    std::vector<Connection> list;
    for (const auto& session : sessions_) {
        Connection connection{session->id,
                              session->peer,
                              session->name,
                              session->deviceId,
                              session->heartbeatMonitored,
                              {}};
        for (const Throttle& throttle : session->throttles) {
            std::vector<std::int64_t> addresses;
            for (const Holding& holding : throttle.locomotives) {
                addresses.push_back(holding.address);
            }
            connection.throttles.emplace_back(throttle.id, std::move(addresses));
        }
        list.push_back(std::move(connection));
    }
    return list;
}

bool WiThrottleServer::takeAway(ConnectionId connection, std::int64_t address) {
    DCCCAB_ASSERT_MAIN_THREAD();
    Session* session = find(connection);
    if (session == nullptr) {
        return false;
    }
    std::vector<char> throttles;
    for (const Throttle& throttle : session->throttles) {
        throttles.push_back(throttle.id);
    }
    bool taken = false;
    for (char throttle : throttles) {
        taken = release(*session, throttle, address, true) || taken;
    }
    return taken;
}

void WiThrottleServer::setSettings(WiThrottleSettings settings) {
    DCCCAB_ASSERT_MAIN_THREAD();
    settings_ = std::move(settings);
}

WiThrottleServer::Session* WiThrottleServer::find(ConnectionId connection) {
    auto found = std::find_if(sessions_.begin(), sessions_.end(),
                              [connection](const auto& open) { return open->id == connection; });
    return found == sessions_.end() ? nullptr : found->get();
}

void WiThrottleServer::send(const Session& session, const std::string& line) {
    outlet_.send(session.id, line);
}

void WiThrottleServer::close(ConnectionId connection) {
    std::erase_if(sessions_, [connection](const auto& open) { return open->id == connection; });
    outlet_.close(connection);
    didChangeValueForKey("connections");
}

// --- Lines from a phone ----------------------------------------------------------------------

void WiThrottleServer::take(Session& session, std::string_view line) {
    switch (line[0]) {
    case 'N':
        session.name = WiThrottleLine::oneLine(line.substr(1));
        send(session, "*" + std::to_string(settings_.heartbeat.count()));
        didChangeValueForKey("connections");
        break;
    case 'H':
        if (line.starts_with("HU")) {
            session.deviceId = WiThrottleLine::oneLine(line.substr(2));
            replaceGhostsOf(session);
            didChangeValueForKey("connections");
        }
        break;
    case '*':
        if (line == "*+" || line == "*-") {
            session.heartbeatMonitored = line == "*+";
            didChangeValueForKey("connections");
        }
        break;
    case 'P':
        if (line == "PPA1" || line == "PPA0") {
            switchPower(session, line == "PPA1");
        }
        break;
    case 'Q':
        if (line == "Q") {
            releaseAll(session, true);
            close(session.id);
        }
        break;
    case 'M':
        takeThrottleCommand(session, line);
        break;
    default:
        break; // the old single-throttle lines, consists, turnouts, raw packets: not served
    }
}

void WiThrottleServer::replaceGhostsOf(const Session& session) {
    if (session.deviceId.empty()) {
        return;
    }
    std::vector<ConnectionId> ghosts;
    for (const auto& other : sessions_) {
        if (other.get() != &session && other->deviceId == session.deviceId) {
            ghosts.push_back(other->id);
        }
    }
    for (ConnectionId ghost : ghosts) {
        releaseAll(*find(ghost), true);
        close(ghost);
    }
}

void WiThrottleServer::switchPower(Session& session, bool on) {
    if (!cab_.stationSwitchesPower()) {
        send(session, WiThrottleLine::alertLine("This command station has no power command"));
    } else if (!cab_.setTrackPower(on)) {
        send(session, WiThrottleLine::alertLine("The command station is not connected"));
    }
}

void WiThrottleServer::takeThrottleCommand(Session& session, std::string_view line) {
    const auto command = WiThrottleLine::throttleCommandOf(line);
    if (!command) {
        return;
    }
    switch (command->op) {
    case '+':
    case 'S':
        acquire(session, command->throttle, command->key);
        break;
    case '-': {
        std::optional<std::int64_t> address;
        std::string alert;
        if (command->key != "*") {
            address = WiThrottleLine::addressOfKey(command->key, alert);
            if (!address) {
                return;
            }
        }
        release(session, command->throttle, address, true);
        break;
    }
    case 'A':
        act(session, command->throttle, command->key, command->action);
        break;
    default:
        break;
    }
}

void WiThrottleServer::acquire(Session& session, char throttleId, std::string_view key) {
    std::string alert;
    const std::optional<std::int64_t> address = WiThrottleLine::addressOfKey(key, alert);
    if (!address) {
        send(session, WiThrottleLine::alertLine(alert));
        return;
    }
    Throttle* throttle = session.throttle(throttleId);
    if (throttle == nullptr) {
        session.throttles.push_back(Throttle{throttleId, {}});
        throttle = &session.throttles.back();
    }
    if (throttle->holding(*address) != nullptr) {
        return;
    }
    throttle->locomotives.push_back(Holding{*address});
    sendState(session, throttleId, throttle->locomotives.back());
    didChangeValueForKey("connections");
}

bool WiThrottleServer::release(Session& session, char throttleId,
                               std::optional<std::int64_t> address, bool tell) {
    Throttle* throttle = session.throttle(throttleId);
    if (throttle == nullptr) {
        return false;
    }
    const std::size_t before = throttle->locomotives.size();
    std::erase_if(throttle->locomotives, [&](const Holding& holding) {
        if (address && holding.address != *address) {
            return false;
        }
        if (tell) {
            send(session, WiThrottleLine::throttleHeader(throttleId, '-',
                                                         WiThrottleLine::keyOf(holding.address)));
        }
        return true;
    });
    const bool released = throttle->locomotives.size() != before;
    if (throttle->locomotives.empty()) {
        std::erase_if(session.throttles,
                      [throttleId](const Throttle& open) { return open.id == throttleId; });
    }
    if (released) {
        didChangeValueForKey("connections");
    }
    return released;
}

void WiThrottleServer::releaseAll(Session& session, bool tell) {
    while (!session.throttles.empty()) {
        release(session, session.throttles.front().id, std::nullopt, tell);
    }
}

void WiThrottleServer::act(Session& session, char throttleId, std::string_view key,
                           std::string_view action) {
    Throttle* throttle = session.throttle(throttleId);
    if (throttle == nullptr || action.empty()) {
        return;
    }
    std::vector<std::int64_t> addresses;
    if (key == "*") {
        for (const Holding& holding : throttle->locomotives) {
            addresses.push_back(holding.address);
        }
    } else {
        std::string alert;
        const std::optional<std::int64_t> address = WiThrottleLine::addressOfKey(key, alert);
        if (!address || throttle->holding(*address) == nullptr) {
            return;
        }
        addresses.push_back(*address);
    }
    for (std::int64_t address : addresses) {
        // Looked up again each time: Q takes a locomotive (and maybe the throttle) away.
        if (Throttle* still = session.throttle(throttleId)) {
            actOn(session, *still, address, action);
        }
    }
}

void WiThrottleServer::actOn(Session& session, Throttle& throttle, std::int64_t address,
                             std::string_view action) {
    Holding* holding = throttle.holding(address);
    if (holding == nullptr) {
        return;
    }
    const std::string_view argument = action.substr(1);
    switch (action[0]) {
    case 'V': {
        const std::optional<std::int64_t> v = WiThrottleLine::integerOf(argument);
        if (!v) {
            break;
        }
        if (*v < 0) {
            cab_.emergencyStopOf(address);
            break;
        }
        // The cab may announce more than once (a locomotive put in use starts at 0): the
        // sender hears none of it, only, at the end, a speed other than the one it asked for.
        holding->speedInFlight = true;
        cab_.setSpeedOf(address, WiThrottleLine::speedOfV(*v));
        holding->speedInFlight = false;
        const std::int64_t reported = reportOf(address).v;
        holding->toldV = std::min(*v, WiThrottleLine::topV);
        if (reported != holding->toldV) {
            holding->toldV = reported;
            send(session,
                 WiThrottleLine::throttleHeader(throttle.id, 'A', WiThrottleLine::keyOf(address)) +
                     "V" + std::to_string(reported));
        }
        break;
    }
    case 'X':
        cab_.emergencyStopOf(address);
        break;
    case 'I':
        cab_.setSpeedOf(address, 0);
        break;
    case 'R':
        if (!argument.empty()) {
            cab_.setDirectionOf(address, argument == "0" ? 0 : 1);
        }
        break;
    case 'F':
    case 'f':
    case 'm': {
        const auto function = WiThrottleLine::functionActionOf(argument);
        if (!function) {
            break;
        }
        const FunctionSet bit = functionBit(function->function);
        if (action[0] == 'm') {
            holding->momentaryOverridden |= bit;
            holding->momentaryOverrides = function->on ? holding->momentaryOverrides | bit
                                                       : holding->momentaryOverrides & ~bit;
        } else if (action[0] == 'f') {
            cab_.setFunctionOf(address, function->function, function->on);
        } else if ((momentaryOf(*holding) & bit) != 0) {
            cab_.setFunctionOf(address, function->function, function->on);
        } else if (function->on) {
            const bool isOn = (reportOf(address).functions & bit) != 0;
            cab_.setFunctionOf(address, function->function, !isOn);
        }
        break;
    }
    case 's': {
        const std::optional<std::int64_t> code = WiThrottleLine::integerOf(argument);
        const std::optional<std::int64_t> mode =
            code ? WiThrottleLine::speedModeOfStepCode(*code) : std::nullopt;
        if (!mode) {
            send(session,
                 WiThrottleLine::alertLine("Speed steps '" + WiThrottleLine::oneLine(action) +
                                           "' not offered: s1 (128), s2 (28) or s8 (14)"));
            break;
        }
        cab_.setSpeedModeOf(address, *mode);
        break;
    }
    case 'q': {
        const Report report = reportOf(address);
        const std::string header =
            WiThrottleLine::throttleHeader(throttle.id, 'A', WiThrottleLine::keyOf(address));
        if (argument == "V") {
            holding->toldV = report.v;
            send(session, header + "V" + std::to_string(report.v));
        } else if (argument == "R") {
            holding->toldDirection = report.direction;
            send(session, header + "R" + std::to_string(report.direction));
        } else if (argument == "s") {
            holding->toldStepCode = report.stepCode;
            send(session, header + "s" + std::to_string(report.stepCode));
        } else if (argument == "m") {
            const FunctionSet momentary = momentaryOf(*holding);
            for (int function = 0; function < functionCount; ++function) {
                send(session, header + "m" + ((momentary & functionBit(function)) ? '1' : '0') +
                                  std::to_string(function));
            }
        }
        break;
    }
    case 'Q':
        if (argument.empty()) {
            cab_.setSpeedOf(address, 0);
            release(session, throttle.id, address, true);
        }
        break;
    default:
        break; // consist leads, address changes: not served
    }
}

// --- Lines to the phones ---------------------------------------------------------------------

WiThrottleServer::Report WiThrottleServer::reportOf(std::int64_t address) const {
    Report report;
    if (const Locomotive* loco = cab_.findLocomotive(address)) {
        report.v = loco->isEmergencyStopped() ? WiThrottleLine::emergencyStopV
                                              : WiThrottleLine::vOfSpeed(loco->speed());
        report.direction = loco->direction();
        report.functions = loco->functions();
        report.stepCode = WiThrottleLine::stepCodeOfSpeedMode(loco->speedMode());
        report.momentary = loco->momentaryFunctions();
    } else if (const RosterEntry* entry = cab_.roster().findByAddress(address)) {
        // Not in use yet: as the cab will start it.
        report.stepCode = WiThrottleLine::stepCodeOfSpeedMode(entry->speedMode);
        report.momentary = entry->momentaryFunctions;
    }
    return report;
}

FunctionSet WiThrottleServer::momentaryOf(const Holding& holding) const {
    return (reportOf(holding.address).momentary & ~holding.momentaryOverridden) |
           (holding.momentaryOverrides & holding.momentaryOverridden);
}

void WiThrottleServer::sendState(const Session& session, char throttle, Holding& holding) {
    const std::string key = WiThrottleLine::keyOf(holding.address);
    send(session, WiThrottleLine::throttleHeader(throttle, '+', key));
    if (const RosterEntry* entry = cab_.roster().findByAddress(holding.address)) {
        send(session, WiThrottleLine::throttleHeader(throttle, 'L', key) +
                          WiThrottleLine::functionLabels(*entry));
    }
    const Report report = reportOf(holding.address);
    const std::string header = WiThrottleLine::throttleHeader(throttle, 'A', key);
    for (int function = 0; function < functionCount; ++function) {
        send(session,
             header + functionLine((report.functions & functionBit(function)) != 0, function));
    }
    send(session, header + "V" + std::to_string(report.v));
    send(session, header + "R" + std::to_string(report.direction));
    send(session, header + "s" + std::to_string(report.stepCode));
    holding.toldV = report.v;
    holding.toldDirection = report.direction;
    holding.toldFunctions = report.functions;
    holding.toldStepCode = report.stepCode;
}

void WiThrottleServer::pushChanges(std::int64_t address) {
    for (const auto& session : sessions_) {
        for (Throttle& throttle : session->throttles) {
            for (Holding& holding : throttle.locomotives) {
                if (address == 0 || holding.address == address) {
                    pushTo(*session, throttle.id, holding, reportOf(holding.address));
                }
            }
        }
    }
}

void WiThrottleServer::pushTo(const Session& session, char throttle, Holding& holding,
                              const Report& report) {
    const std::string header =
        WiThrottleLine::throttleHeader(throttle, 'A', WiThrottleLine::keyOf(holding.address));
    if (report.v != holding.toldV && !holding.speedInFlight) {
        holding.toldV = report.v;
        send(session, header + "V" + std::to_string(report.v));
    }
    if (report.direction != holding.toldDirection) {
        holding.toldDirection = report.direction;
        send(session, header + "R" + std::to_string(report.direction));
    }
    const FunctionSet changed = report.functions ^ holding.toldFunctions;
    holding.toldFunctions = report.functions;
    for (int function = 0; function < functionCount; ++function) {
        if ((changed & functionBit(function)) != 0) {
            send(session,
                 header + functionLine((report.functions & functionBit(function)) != 0, function));
        }
    }
    if (report.stepCode != holding.toldStepCode) {
        holding.toldStepCode = report.stepCode;
        send(session, header + "s" + std::to_string(report.stepCode));
    }
}

std::vector<std::int64_t> WiThrottleServer::addressesOf(const Session& session) const {
    std::vector<std::int64_t> addresses;
    for (const Throttle& throttle : session.throttles) {
        for (const Holding& holding : throttle.locomotives) {
            if (std::find(addresses.begin(), addresses.end(), holding.address) == addresses.end()) {
                addresses.push_back(holding.address);
            }
        }
    }
    return addresses;
}

bool WiThrottleServer::heldByAnotherThan(const Session* session, std::int64_t address) const {
    return std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& other) {
        const std::vector<std::int64_t> held = addressesOf(*other);
        return other.get() != session && std::find(held.begin(), held.end(), address) != held.end();
    });
}

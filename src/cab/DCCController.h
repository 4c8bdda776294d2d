#pragma once

#include "DCCDispatcher.h"
#include "DCCMessageDisplay.h"
#include "KESSerialPortDemoController.h"
#include "Locomotive.h"
#include "Roster.h"
#include "StationProtocol.h"
#include "Subscription.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Button;
class PopUpButton;
class ValueControl;
struct DCCMessage;

// The cab: the operator's side of the program, and the one place where locomotives live. On top
// of the port panel (choice, opening and closing of the port, the received-data view) it holds
// the locomotives in use, each with its own state and standing packet records (Locomotive), keeps
// the catalogue of seven standing packets, shows each packet sent, and keeps the stop-and-wait
// link to the command-station board going: each reply from the board releases the next frame.
//
// The catalogue, by index: "IDLE", "RESET", "BROADCAST_STOP", "STOP", "E_STOP", "SPEED",
// "HEADLIGHT". Commands never make packets; they rewrite a standing record and hand that same
// record over again. Each locomotive has records of its own ("SPEED", "E_STOP", and one per
// function group); the first locomotive driven uses the catalogue's "E_STOP", "SPEED" and
// "HEADLIGHT". Packets to a locomotive carry its address in the short (1 to 127) or long (128 to
// 10239) form.
//
// What the cab shows is what it sent: a locomotive's state changes only with the packet that
// carries the change, and every change is announced. The throttle shows one locomotive at a time
// (the shown locomotive, locoAddress); the properties locoSpeed, speedMode, currentSpeedStep,
// locoDirection and the functions are the shown locomotive's. Choosing another address sends
// nothing: the other locomotive keeps running as it was. A locomotive never driven before starts
// stopped, forward, functions off, in its roster entry's mode or 28 steps.
//
// The link: a delivery from the board that is non-empty, valid UTF-8 counts as one reply whatever
// it says. When no reply has come within replyTimeout of the last frame while the port is open,
// the cab logs it once per stall, says so on the status line and sends the next frame as a reply
// would, so a lost byte never stops the train for good. When a port opens while a frame is still
// unanswered (it went nowhere), the next frame goes out at once.
//
// The command station: the cab speaks to one kind at a time (StationKind, the board by default)
// through its StationProtocol, which turns each packet into the station's own bytes and its
// replies into events. The board's replies are as above. A DCC-EX or SPROG station answers each
// write once (the reply time-out holds for them too); their other lines are shown in the
// received-data view, and what they report is taken: track power, the station's version, and
// (DCC-EX) each locomotive's state whichever throttle changed it. A station that restarts gets
// the locomotives in use sent again. For a station that does not refresh the decoders itself
// (SPROG, and the board if asked), the cab refreshes them whenever nothing else is to be sent:
// the speed packet of each locomotive moving or driven lately, and its function groups with a
// function on.
//
// Standard output gets the packet core's lines and those of the diagnostics (sendDump, dumpInfo,
// testDispatcher), each beginning with a line feed; the platform log gets the link's problems.
//
// Threading: main thread only, like everything it hears from. Every dispatcher write, display
// line and observer announcement happens before the call that caused it returns. The reply
// timeout runs through MainQueue::after, so a main queue must be installed.
//
// Ownership: the cab owns its dispatcher, the catalogue records and the records testDispatcher
// makes; they live as long as the cab (the one cab of the program lives as long as the program).
// Outlets, as for the panel, are not owned. Construction registers the cab in `controller` and
// destruction takes it out, and empties `messageList`, if they still refer to this cab.
//
// Observable keys, besides the panel's: "portIsOpen", "speedMode", "locoAddress", "locoSpeed",
// "currentSpeedStep", "locoDirection", "sentPacketString", "speedPacketTypeString",
// "addressModeButton", "replyTimeout", "functions" (the shown locomotive's functions or which of
// them are momentary), "emergencyStopped" (the shown locomotive's), "stationIsAnswering",
// "roster", "stationKind", "trackPower", "stationVersion", "refreshesBoard", and "locomotives" (one
// was added, or any locomotive's state changed; the change, an std::int64_t, is its address, or 0
// for all of them). Every setter call is announced, also when the value stays.
class DCCController : public KESSerialPortDemoController, public DCCMessageDisplay {
public:
    // Catalogue indexes.
    static constexpr std::size_t idleIndex = 0;
    static constexpr std::size_t resetIndex = 1;
    static constexpr std::size_t broadcastStopIndex = 2;
    static constexpr std::size_t stopIndex = 3;
    static constexpr std::size_t emergencyStopIndex = 4;
    static constexpr std::size_t speedIndex = 5;
    static constexpr std::size_t headlightIndex = 6;
    static constexpr std::size_t catalogueSize = 7;

    static constexpr std::chrono::milliseconds defaultReplyTimeout{1000};

    // Starts with the shared manager (made now if it was not yet): address 3, 28 steps, speed 0,
    // forward, no catalogue yet.
    DCCController();
    // Starts with manager, which must outlive the cab; for tests.
    explicit DCCController(KESSerialPortManager& manager);
    ~DCCController() override;

    // Selects speedMode in the pop-up, fills speedPacketTypeString and builds the catalogue. Call
    // once, after the outlets are connected; the commands need the catalogue.
    void awakeFromNib() override;
    // Makes the seven catalogue records (those not made yet), stores them in `messageList` and
    // lists each in the received-data view as "<address> INIT <name>\n", then an empty line.
    void buildMessageList();

    // --- Outlets ---------------------------------------------------------------------------------

    PopUpButton* addressModeButton() const { return addressModeButton_; }
    void setAddressModeButton(PopUpButton* button);

    // --- The port --------------------------------------------------------------------------------

    // The panel's choice, and the dispatcher writes to the same port from its next frame on.
    void setSerialPort(std::shared_ptr<KESSerialPort> port) override;
    bool portIsOpen() const { return portIsOpen_; }
    void setPortIsOpen(bool open);

    // --- The locomotive --------------------------------------------------------------------------

    // The shown locomotive's address.
    std::int64_t locoAddress() const { return shown_->address(); }
    // Shows the locomotive at an address from 1 to 10239 (put in use if it was not), announces
    // every shown property and rebuilds speedPacketTypeString; sends nothing. Any other address
    // is refused: the address stays, the status line and the log say why, and the change is
    // still announced (so a display can show the address in force). True if taken.
    bool setLocoAddress(std::int64_t address);

    // The shown locomotive's mode: 0 = 14 steps, 1 = 28 steps, 2 = 128 steps. Setting a mode
    // other than these is refused (announced, nothing changes). A new mode is sent at once: the
    // speed packet again in the new mode, once the catalogue exists. Rebuilds
    // speedPacketTypeString.
    std::int64_t speedMode() const { return shown_->speedMode(); }
    void setSpeedMode(std::int64_t mode);

    // The address bytes and the speed packet's layout for the mode, in binary, for example
    // "00000011 01DSSSSS EEEEEEEE". The setter's argument is not used: it rebuilds the text.
    const std::string& speedPacketTypeString() const { return speedPacketTypeString_; }
    void setSpeedPacketTypeString(const std::string& ignored = {});

    // The shown locomotive's speed, 0 to 127. Setting 0 to 127 (larger values count as 127)
    // rewrites its "SPEED" for its address, mode and direction (and, in 14-step mode, F0), hands
    // it over at priority 0 and refreshes sentPacketString; it ends an emergency stop. A negative
    // value only zeroes locoSpeed and currentSpeedStep: no packet, "SPEED" stays as and where it
    // is. Before the catalogue exists nothing changes but the announcement.
    std::int64_t locoSpeed() const { return shown_->speed(); }
    void setLocoSpeed(std::int64_t speed);

    // The step sent for locoSpeed: 0 to 14, 0 to 28 or 0 to 126.
    std::int64_t currentSpeedStep() const { return shown_->speedStep(); }

    // 1 = forward, 0 = reverse. Setting the other direction sends it at once (the speed packet
    // with the new direction, as sendDirectionChange); setting the same one sends nothing.
    std::int64_t locoDirection() const { return shown_->direction(); }
    void setLocoDirection(std::int64_t direction);

    // F0, the headlight, of the shown locomotive.
    bool headlightIsOn() const { return shown_->functionIsOn(0); }
    // The shown locomotive's functions (bit n for Fn) and which are momentary.
    FunctionSet functions() const { return shown_->functions(); }
    bool functionIsOn(int function) const;
    bool functionIsMomentary(int function) const;
    bool isEmergencyStopped() const { return shown_->isEmergencyStopped(); }

    // Sets function (0 to 28) of the shown locomotive and sends its group at priority 1 (in
    // 14-step mode F0 also rewrites the speed packet, which carries the light there). Setting a
    // function to the state it has sends it again. Out of range, or before the catalogue exists:
    // nothing.
    void setFunction(int function, bool on);
    // A function button or key pressed and released: a latching function toggles on press; a
    // momentary one is on from press to release. A release of a latching function does nothing.
    void pressFunction(int function);
    void releaseFunction(int function);
    // The label of the shown locomotive's function: the roster's, or "F<n>".
    std::string functionLabel(int function) const;

    // --- The locomotives in use ------------------------------------------------------------------

    // In the order they were first shown or driven; the shown one among them. A locomotive that
    // was only shown, never sent a packet, leaves the list when another is shown.
    const std::vector<std::unique_ptr<Locomotive>>& locomotives() const { return locomotives_; }
    const Locomotive& shownLocomotive() const { return *shown_; }
    // The locomotive at address, if in use.
    const Locomotive* findLocomotive(std::int64_t address) const;
    // The roster's name of the locomotive at address, or empty.
    std::string locomotiveName(std::int64_t address) const;

    // Commands for any locomotive by address (1 to 10239; put in use if it was not), the same as
    // the shown locomotive's commands above; false for an address out of range or before the
    // catalogue exists. For other throttles than the window's.
    bool setSpeedOf(std::int64_t address, std::int64_t speed);
    bool setDirectionOf(std::int64_t address, std::int64_t direction);
    bool setFunctionOf(std::int64_t address, int function, bool on);
    bool setSpeedModeOf(std::int64_t address, std::int64_t mode);
    bool emergencyStopOf(std::int64_t address);

    // --- The roster ------------------------------------------------------------------------------

    const Roster& roster() const { return roster_; }
    // Takes a new roster: the momentary functions of the locomotives in use follow their entries
    // (and fall back to F2 alone without one); speeds, modes and functions stay as sent.
    void setRoster(Roster roster);

    // --- The link --------------------------------------------------------------------------------

    // Everything handed over has been written, and answered where the station's way waits for
    // the answer; what goes on the line now only refreshes or keeps it busy.
    bool linkIsIdle() const { return ownCommands_.empty() && dispatcher_.isIdle(); }
    // False from a reply time-out until the next reply: the station does not answer.
    bool stationIsAnswering() const { return !stalled_; }

    // The last packet handed over by a command, in binary: "00000011 01111000 01111011 ".
    const std::string& sentPacketString() const { return sentPacketString_; }
    void setSentPacketString(std::string text);

    // How long an unanswered frame waits before the next one goes out anyway (at least 1 ms).
    std::chrono::milliseconds replyTimeout() const { return replyTimeout_; }
    void setReplyTimeout(std::chrono::milliseconds timeout);

    // --- The command station -------------------------------------------------------------------

    StationKind stationKind() const { return station_->kind(); }
    // Speaks to a station of kind from now on: the partial replies of the last are forgotten,
    // track power and the version are unknown, and an open port is greeted as a new station.
    void setStationKind(StationKind kind);
    // Whether the cab refreshes the decoders on the board (off by default).
    bool refreshesBoard() const { return refreshesBoard_; }
    void setRefreshesBoard(bool refreshes);
    // Whether the cab refreshes for the station now chosen.
    bool isRefreshing() const;
    // As the station last reported it; unknown when it gave no report yet, does not answer, or
    // has no power report (the board).
    TrackPower trackPower() const { return trackPower_; }
    bool stationSwitchesPower() const { return station_->switchesPower(); }
    // Asks the station to switch track power, before any packet waiting; the report that comes
    // back shows. False, with the reason on the status line, when the station has no power
    // command or the port is not open.
    bool setTrackPower(bool on);
    // The station's name and version as it gave them; empty before.
    const std::string& stationVersion() const { return stationVersion_; }

    // --- Actions (sent by the window's controls) -------------------------------------------------

    // setLocoSpeed with sender's integer value; nothing for a null sender.
    void sendSpeedChange(const ValueControl* sender);
    // Moves the speed steps steps up (or down, when negative) from the current step, to the
    // lowest speed of that step, within 0 and the mode's top step: the keyboard's speed keys.
    void changeSpeedBySteps(std::int64_t steps);
    // Flips the shown locomotive's direction and sends it at once: its speed packet with the new
    // direction at priority 0. Retitles sender "FORWARD" or "REVERSE" (the direction now in
    // force; null: no title). Before the catalogue exists: nothing.
    void sendDirectionChange(Button* sender);
    // Flips F0, the headlight, of the shown locomotive (as pressFunction(0) for a latching F0),
    // sender retitled "ON" or "OFF" (the state just queued; null: no title).
    void headlight(Button* sender);
    // "IDLE" at priority 1; the speed stays.
    void sendIdle(const void* sender);
    // The stop commands below (reset, emergency stop, stop all) zero the speed without a speed
    // packet and take the waiting packets of the locomotives they stop out of the queues, so
    // that no earlier speed (or, after a reset, function) follows them onto the track.
    //
    // Every locomotive stopped, forward, functions off, then "RESET" (the decoders' reset) at
    // priority 1.
    void sendReset(const void* sender);
    // setLocoSpeed(0): the speed packet for step 0 at priority 0.
    void sendStop(const void* sender);
    // The shown locomotive's speed zeroed, then its "E_STOP" (the addressed emergency stop,
    // direction as in force) at priority 1; it shows emergency-stopped until driven again.
    void sendEmergencyStop(const void* sender);
    // Every locomotive's speed zeroed and emergency-stopped, then "BROADCAST_STOP" (every
    // decoder's emergency stop) at priority 1.
    void sendBroadcastEmergencyStop(const void* sender);
    // Prints the addresses of catalogue entries 0 to 4 and zeroes their send counts, then hands
    // over the shown locomotive's "E_STOP" (as for sendEmergencyStop) at priority 0, "RESET"
    // and "BROADCAST_STOP" at priority 1: every locomotive then shows stopped with functions
    // off. Leaves sentPacketString alone.
    void sendDump(const void* sender);
    // Prints the address and send count of catalogue entries 0 to 4.
    void dumpInfo(const void* sender);
    // Drives the dispatcher through five blank records and prints what happened.
    void testDispatcher();

    // --- Display ---------------------------------------------------------------------------------

    // Appends text to the received-data view and scrolls to its end; empty or invalid UTF-8 text
    // changes nothing.
    void displayMessage(std::string text) override;
    // Sets sentPacketString to message's packet bytes in binary, each followed by a space.
    void updateSentPacketString(const DCCMessage& message);

    // --- KESSerialPortDelegate -------------------------------------------------------------------

    void serialPortWasOpened(KESSerialPort& port) override;
    void serialPortWasClosed(KESSerialPort& port) override;
    // The station's bytes, read by its protocol. The board's: one reply, "ACKNOWLEDGE\n" in the
    // view, then the next frame if one is due; bytes that are empty or not valid UTF-8 do nothing
    // at all, and the bytes are not shown. Another station's: each reply lets the next write go;
    // its other lines go to the view and are acted on.
    void serialPortDidReceiveData(KESSerialPort& port, const Bytes& data) override;

    // --- For the diagnostics and tests -----------------------------------------------------------

    const DCCDispatcher& dispatcher() const { return dispatcher_; }
    // The catalogue record at index; null before buildMessageList.
    DCCMessage* catalogueMessage(std::size_t index) const;

private:
    void startCab();
    Locomotive& locomotiveAt(std::int64_t address);
    const Locomotive::Records& recordsOf(Locomotive& loco);
    void rewrite(DCCMessage& message, const std::vector<std::uint8_t>& bytes);
    // Rewrites loco's "SPEED" for speed (0 to 127) with its mode and direction and hands it over.
    // With show, sentPacketString shows it.
    void sendSpeed(Locomotive& loco, std::int64_t speed, bool show);
    void sendFunctionGroup(Locomotive& loco, int group);
    void sendEmergencyStopTo(Locomotive& loco, std::int32_t priority);
    void changeFunction(Locomotive& loco, int function, bool on);
    void changeDirection(Locomotive& loco, std::int64_t direction);
    void changeSpeedMode(Locomotive& loco, std::int64_t mode);
    // Takes out of the queues the stops a new command for loco (a speed, or with speed false a
    // function) supersedes.
    void supersedeStops(Locomotive& loco, bool speed);
    void handOver(DCCMessage& message, std::int32_t priority);
    void handOver(std::size_t index, std::int32_t priority);
    // Takes loco's waiting speed (and, with functions, function) packets out of the queues.
    void withdraw(Locomotive& loco, bool functions);
    // Announces that loco changed: the shown properties if it is the shown one, and
    // "locomotives".
    void announce(const Locomotive& loco);
    void announceShown();
    void announceAll();
    // What a decoder reset does to every locomotive, and whether a stop all follows it.
    void restartEveryLocomotive(bool emergencyStopped);
    void sendNextFrame();
    void followDispatcher();
    void replyTimedOut();
    std::uint64_t framesWritten() const { return dispatcher_.framesWritten() + ownWrites_; }
    void applyStationPolicy();
    Bytes encodeForStation(const DCCMessage& message);
    void takeStationEvent(const StationEvent& event);
    void takeReply();
    void takeLocomotiveReport(const StationEvent& event);
    void setTrackPowerState(TrackPower power);
    // Puts the station's greeting (if it has one) first in line for the next write.
    void greetStation();
    // Sends the state of every locomotive in use again (the station forgot it).
    void resendLocomotives();
    DCCMessage* nextRefresh();
    // loco was just sent a command: it takes part in the refresh again.
    void keepRefreshing(const Locomotive& loco);

    DCCDispatcher dispatcher_;
    std::unique_ptr<StationProtocol> station_;
    bool refreshesBoard_ = false;
    TrackPower trackPower_ = TrackPower::unknown;
    std::string stationVersion_;
    // Writes of the cab's own (the greeting, power) that go before the next packet.
    struct OwnCommand {
        Bytes bytes;
        std::optional<bool> power; // a power command: on or off
    };
    std::deque<OwnCommand> ownCommands_;
    // The power command whose answer is awaited and that no power report has answered yet: its
    // answer means the power is as asked.
    std::optional<bool> powerAsked_;
    std::uint64_t ownWrites_ = 0;
    // Refresh visits left for each stopped locomotive before it leaves the refresh.
    std::map<std::int64_t, int> refreshesLeft_;
    std::size_t refreshTurn_ = 0;
    bool portIsOpen_ = false;
    std::vector<std::unique_ptr<Locomotive>> locomotives_;
    Locomotive* shown_ = nullptr;
    Roster roster_;
    // The records lent to locomotives after the first.
    std::vector<std::unique_ptr<DCCMessage>> locomotiveRecords_;
    bool catalogueLent_ = false;
    // buildMessageList has run: the commands may write packets.
    bool started_ = false;
    PopUpButton* addressModeButton_ = nullptr;
    std::string sentPacketString_;
    std::string speedPacketTypeString_;
    std::chrono::milliseconds replyTimeout_ = defaultReplyTimeout;

    std::array<std::unique_ptr<DCCMessage>, catalogueSize> catalogue_;
    std::vector<std::unique_ptr<DCCMessage>> testMessages_;

    // The dispatcher's frame count when the reply timer was last started.
    std::uint64_t framesTimed_ = 0;
    // A reply is overdue and the stall has been reported; cleared by the next reply.
    bool stalled_ = false;
    Subscription replyTimer_;
};

// The catalogue of the one cab: null entries until its buildMessageList has run.
extern std::array<DCCMessage*, DCCController::catalogueSize> messageList;

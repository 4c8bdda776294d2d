#pragma once

#include "DCCDispatcher.h"
#include "DCCMessageDisplay.h"
#include "KESSerialPortDemoController.h"
#include "Subscription.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Button;
class PopUpButton;
class ValueControl;
struct DCCMessage;

// The cab: the operator's side of the program. On top of the port panel (choice, opening and
// closing of the port, the received-data view) it holds the state of the one locomotive being
// driven, keeps the catalogue of seven standing packets that every command rewrites and hands to
// its dispatcher, shows each packet sent, and keeps the stop-and-wait link to the command-station
// board going: each reply from the board releases the next frame.
//
// The catalogue, by index: "IDLE", "RESET", "BROADCAST_STOP", "STOP", "E_STOP", "SPEED",
// "HEADLIGHT". Commands never make packets; they rewrite their catalogue entry and hand that same
// record over again. Packets to the locomotive carry its address in the short (1 to 127) or long
// (128 to 10239) form. The headlight state lives in the "HEADLIGHT" packet.
//
// The link: a delivery from the board that is non-empty, valid UTF-8 counts as one reply whatever
// it says. When no reply has come within replyTimeout of the last frame while the port is open,
// the cab logs it once per stall, says so on the status line and sends the next frame as a reply
// would, so a lost byte never stops the train for good. When a port opens while a frame is still
// unanswered (it went nowhere), the next frame goes out at once.
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
// "addressModeButton", "replyTimeout". Every setter call is announced, also when the value stays.
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

    std::int64_t locoAddress() const { return locoAddress_; }
    // Takes an address from 1 to 10239 and rebuilds speedPacketTypeString; sends nothing. Any
    // other address is refused: the address stays, the status line and the log say why, and the
    // change is still announced (so a display can show the address in force). True if taken.
    bool setLocoAddress(std::int64_t address);

    // 0 = 14 steps, 1 = 28 steps, 2 = 128 steps; another value is kept, and speed changes then
    // rewrite nothing. Rebuilds speedPacketTypeString; sends nothing.
    std::int64_t speedMode() const { return speedMode_; }
    void setSpeedMode(std::int64_t mode);

    // The address bytes and the speed packet's layout for the mode, in binary, for example
    // "00000011 01DSSSSS EEEEEEEE". The setter's argument is not used: it rebuilds the text.
    const std::string& speedPacketTypeString() const { return speedPacketTypeString_; }
    void setSpeedPacketTypeString(const std::string& ignored = {});

    // The operator's speed, 0 to 127. Setting 0 to 127 (larger values count as 127) rewrites
    // "SPEED" for the current address, mode and direction (and, in 14-step mode, the headlight),
    // hands it over at priority 0 and refreshes sentPacketString. A negative value only zeroes
    // locoSpeed and currentSpeedStep: no packet, "SPEED" stays as and where it is.
    std::int64_t locoSpeed() const { return locoSpeed_; }
    void setLocoSpeed(std::int64_t speed);

    // The step sent for locoSpeed: 0 to 14, 0 to 28 or 0 to 126.
    std::int64_t currentSpeedStep() const { return currentSpeedStep_; }
    void setCurrentSpeedStep(std::int64_t step);

    // 1 = forward, 0 = reverse. The setter is a plain store (and announcement); the next speed
    // packet carries it.
    std::int64_t locoDirection() const { return locoDirection_; }
    void setLocoDirection(std::int64_t direction);

    // Whether the last "HEADLIGHT" packet handed over turns the light on; false before the
    // catalogue exists.
    bool headlightIsOn() const;

    // The last packet handed over by a command, in binary: "00000011 01111000 01111011 ".
    const std::string& sentPacketString() const { return sentPacketString_; }
    void setSentPacketString(std::string text);

    // How long an unanswered frame waits before the next one goes out anyway (at least 1 ms).
    std::chrono::milliseconds replyTimeout() const { return replyTimeout_; }
    void setReplyTimeout(std::chrono::milliseconds timeout);

    // --- Actions (sent by the window's controls) -------------------------------------------------

    // setLocoSpeed with sender's integer value; nothing for a null sender.
    void sendSpeedChange(const ValueControl* sender);
    // Moves the speed steps steps up (or down, when negative) from the current step, to the
    // lowest speed of that step, within 0 and the mode's top step: the keyboard's speed keys.
    void changeSpeedBySteps(std::int64_t steps);
    // Flips the direction without telling locoDirection's observers and without a packet, and
    // retitles sender "FORWARD" or "REVERSE" (the direction now in force; null: no title).
    void sendDirectionChange(Button* sender);
    // Flips the headlight: "HEADLIGHT" for the current address at priority 1, sender retitled
    // "ON" or "OFF" (the state just queued; null: no title). In 14-step mode the light is also
    // part of the speed instruction, so "SPEED" is rewritten with it and handed over at priority
    // 0 as well.
    void headlight(Button* sender);
    // "IDLE" at priority 1; the speed stays.
    void sendIdle(const void* sender);
    // The stop commands below (reset, emergency stop, stop all) zero the speed without a speed
    // packet and take a waiting "SPEED" out of the queues, so that no earlier speed follows them
    // onto the track.
    //
    // Speed zeroed, then "RESET" (the decoders' reset) at priority 1.
    void sendReset(const void* sender);
    // setLocoSpeed(0): the speed packet for step 0 at priority 0.
    void sendStop(const void* sender);
    // Speed zeroed, then "E_STOP" (the addressed emergency stop, direction as in
    // force) at priority 1.
    void sendEmergencyStop(const void* sender);
    // Speed zeroed, then "BROADCAST_STOP" (every locomotive's emergency stop) at
    // priority 1.
    void sendBroadcastEmergencyStop(const void* sender);
    // Prints the addresses of catalogue entries 0 to 4 and zeroes their send counts, then hands
    // over "E_STOP" (rewritten as for sendEmergencyStop) at priority 0, "RESET" and
    // "BROADCAST_STOP" at priority 1. Leaves sentPacketString alone.
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
    // One reply from the board: "ACKNOWLEDGE\n" in the view, then the next frame if one is due.
    // Bytes that are empty or not valid UTF-8 do nothing at all. The bytes are not shown.
    void serialPortDidReceiveData(KESSerialPort& port, const Bytes& data) override;

    // --- For the diagnostics and tests -----------------------------------------------------------

    const DCCDispatcher& dispatcher() const { return dispatcher_; }
    // The catalogue record at index; null before buildMessageList.
    DCCMessage* catalogueMessage(std::size_t index) const;

private:
    void startCab();
    void rewrite(DCCMessage& message, const std::vector<std::uint8_t>& bytes);
    void rewriteSpeed(std::int64_t speed);
    void handOver(std::size_t index, std::int32_t priority);
    void withdrawSpeed();
    void sendNextFrame();
    void followDispatcher();
    void replyTimedOut();

    DCCDispatcher dispatcher_;
    bool portIsOpen_ = false;
    std::int64_t speedMode_ = 1;
    std::int64_t locoAddress_ = 3;
    std::int64_t locoSpeed_ = 0;
    std::int64_t currentSpeedStep_ = 0;
    std::int64_t locoDirection_ = 1;
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

#include "DCCController.h"

#include "Button.h"
#include "DCCMessage.h"
#include "DCCSpeedEncoding.h"
#include "KESSerialPort.h"
#include "Log.h"
#include "MainQueue.h"
#include "PopUpButton.h"
#include "TextView.h"
#include "ValidUtf8.h"
#include "ValueControl.h"
#include "binaryValue.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <sstream>
#include <utility>

std::array<DCCMessage*, DCCController::catalogueSize> messageList{};

namespace {

std::string pointerText(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", pointer);
    return text;
}

std::vector<std::uint8_t> joined(std::vector<std::uint8_t> first,
                                 const std::vector<std::uint8_t>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

} // namespace

DCCController::DCCController() {
    startCab();
}

DCCController::DCCController(KESSerialPortManager& manager) : KESSerialPortDemoController(manager) {
    startCab();
}

void DCCController::startCab() {
    controller = this;
    station_ = makeStationProtocol(StationKind::board);
    applyStationPolicy();
    dispatcher_.setRefresh([this] { return nextRefresh(); });
    locomotives_.push_back(std::make_unique<Locomotive>(3, 1, defaultMomentaryFunctions));
    shown_ = locomotives_.back().get();
}

DCCController::~DCCController() {
    replyTimer_.reset();
    if (controller == this) {
        controller = nullptr;
    }
    for (std::size_t i = 0; i < catalogueSize; ++i) {
        if (messageList[i] == catalogue_[i].get()) {
            messageList[i] = nullptr;
        }
    }
}

// --- Start-up --------------------------------------------------------------------------------

void DCCController::awakeFromNib() {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (addressModeButton_ != nullptr) {
        addressModeButton_->selectItemAtIndex(static_cast<int>(speedMode()));
    }
    setSpeedPacketTypeString();
    buildMessageList();
}

void DCCController::buildMessageList() {
    DCCCAB_ASSERT_MAIN_THREAD();
    struct Entry {
        const char* name;
        std::uint8_t b1;
        std::uint8_t b2;
    };
    static constexpr std::array<Entry, catalogueSize> entries{{
        {"IDLE", 0xFF, 0x00},
        {"RESET", 0x00, 0x00},
        {"BROADCAST_STOP", 0x00, broadcastEmergencyStopInstruction},
        {"STOP", 0xFF, 0x00},
        {"E_STOP", 0xFF, 0x00},
        {"SPEED", 0xFF, 0x00},
        {"HEADLIGHT", 0x00, functionGroupOne(false)},
    }};
    for (std::size_t i = 0; i < catalogueSize; ++i) {
        if (!catalogue_[i]) {
            catalogue_[i] =
                std::make_unique<DCCMessage>(entries[i].name, entries[i].b1, entries[i].b2);
        }
        messageList[i] = catalogue_[i].get();
    }
    started_ = true;
    for (const auto& message : catalogue_) {
        displayMessage(pointerText(message.get()) + " INIT " + message->name + "\n");
    }
    displayMessage("\n");
}

DCCMessage* DCCController::catalogueMessage(std::size_t index) const {
    return index < catalogueSize ? catalogue_[index].get() : nullptr;
}

// --- Outlets and plain properties ------------------------------------------------------------

void DCCController::setAddressModeButton(PopUpButton* button) {
    addressModeButton_ = button;
    didChangeValueForKey("addressModeButton");
}

void DCCController::setPortIsOpen(bool open) {
    portIsOpen_ = open;
    didChangeValueForKey("portIsOpen");
}

void DCCController::setSentPacketString(std::string text) {
    sentPacketString_ = std::move(text);
    didChangeValueForKey("sentPacketString");
}

void DCCController::setReplyTimeout(std::chrono::milliseconds timeout) {
    replyTimeout_ = std::max(timeout, std::chrono::milliseconds(1));
    didChangeValueForKey("replyTimeout");
}

// --- The locomotives in use ------------------------------------------------------------------

const Locomotive* DCCController::findLocomotive(std::int64_t address) const {
    for (const auto& loco : locomotives_) {
        if (loco->address() == address) {
            return loco.get();
        }
    }
    return nullptr;
}

Locomotive& DCCController::locomotiveAt(std::int64_t address) {
    if (const Locomotive* known = findLocomotive(address)) {
        return const_cast<Locomotive&>(*known);
    }
    const RosterEntry* entry = roster_.findByAddress(address);
    locomotives_.push_back(std::make_unique<Locomotive>(address, entry ? entry->speedMode : 1,
                                                        entry ? entry->momentaryFunctions
                                                              : defaultMomentaryFunctions));
    Locomotive& loco = *locomotives_.back();
    station_->setSpeedSteps(address, loco.speedMode() == 0 ? 14 : 28);
    didChangeValueForKey("locomotives", std::any(address));
    return loco;
}

// The first locomotive driven takes the catalogue's records, so that a cab driving one
// locomotive writes the catalogue's "SPEED", "E_STOP" and "HEADLIGHT" as it always did.
const Locomotive::Records& DCCController::recordsOf(Locomotive& loco) {
    if (loco.records().speed != nullptr) {
        return loco.records();
    }
    auto made = [this](const char* name) {
        locomotiveRecords_.push_back(std::make_unique<DCCMessage>(name, 0xFF, 0x00));
        return locomotiveRecords_.back().get();
    };
    Locomotive::Records records;
    if (!catalogueLent_) {
        catalogueLent_ = true;
        records.speed = catalogue_[speedIndex].get();
        records.emergencyStop = catalogue_[emergencyStopIndex].get();
        records.functionGroups[0] = catalogue_[headlightIndex].get();
    } else {
        records.speed = made("SPEED");
        records.emergencyStop = made("E_STOP");
        records.functionGroups[0] = made(functionGroupRecordName(0));
    }
    for (int group = 1; group < functionGroupCount; ++group) {
        records.functionGroups[static_cast<std::size_t>(group)] =
            made(functionGroupRecordName(group));
    }
    loco.setRecords(records);
    return loco.records();
}

std::string DCCController::locomotiveName(std::int64_t address) const {
    const RosterEntry* entry = roster_.findByAddress(address);
    return entry ? entry->name : std::string();
}

void DCCController::announce(const Locomotive& loco) {
    if (&loco == shown_) {
        announceShown();
    }
    didChangeValueForKey("locomotives", std::any(loco.address()));
}

void DCCController::announceShown() {
    didChangeValueForKey("speedMode");
    didChangeValueForKey("locoSpeed");
    didChangeValueForKey("currentSpeedStep");
    didChangeValueForKey("locoDirection");
    didChangeValueForKey("functions");
    didChangeValueForKey("emergencyStopped");
}

void DCCController::setRoster(Roster roster) {
    DCCCAB_ASSERT_MAIN_THREAD();
    roster_ = std::move(roster);
    for (const auto& loco : locomotives_) {
        const RosterEntry* entry = roster_.findByAddress(loco->address());
        loco->setMomentaryFunctions(entry ? entry->momentaryFunctions : defaultMomentaryFunctions);
    }
    didChangeValueForKey("roster");
    didChangeValueForKey("functions");
    didChangeValueForKey("locomotives", std::any(std::int64_t{0}));
}

// --- Address, mode and speed -----------------------------------------------------------------

bool DCCController::setLocoAddress(std::int64_t address) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (!isValidLocoAddress(address)) {
        const std::string held = std::to_string(locoAddress());
        Log::line("Refused locomotive address " + std::to_string(address) +
                  ": addresses run from 1 to 10239; still driving address " + held);
        reportProblem("Address " + std::to_string(address) +
                      " is not a locomotive address (1 to 10239); still driving address " + held);
        didChangeValueForKey("locoAddress");
        return false;
    }
    Locomotive* const left = shown_;
    shown_ = &locomotiveAt(address);
    if (left != shown_ && left->records().speed == nullptr) {
        // Only looked at, never driven: not in use, so it leaves the list.
        std::erase_if(locomotives_, [left](const auto& loco) { return loco.get() == left; });
        didChangeValueForKey("locomotives", std::any(std::int64_t{0}));
    }
    didChangeValueForKey("locoAddress");
    announceShown();
    setSpeedPacketTypeString();
    return true;
}

void DCCController::setSpeedMode(std::int64_t mode) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (topSpeedStep(mode) == 0) {
        Log::line("Refused speed-step mode " + std::to_string(mode));
        didChangeValueForKey("speedMode");
        return;
    }
    changeSpeedMode(*shown_, mode);
}

bool DCCController::setSpeedModeOf(std::int64_t address, std::int64_t mode) {
    if (!isValidLocoAddress(address) || topSpeedStep(mode) == 0) {
        return false;
    }
    changeSpeedMode(locomotiveAt(address), mode);
    return started_;
}

void DCCController::changeSpeedMode(Locomotive& loco, std::int64_t mode) {
    loco.setSpeedMode(mode);
    station_->setSpeedSteps(loco.address(), mode == 0 ? 14 : 28);
    if (started_) {
        // The decoder reads the next speed packet in the new form: send it now, so the track
        // and the throttle agree on what the new mode means.
        sendSpeed(loco, loco.speed(), true);
    } else {
        announce(loco);
    }
    if (&loco == shown_) {
        setSpeedPacketTypeString();
    }
}

void DCCController::setSpeedPacketTypeString(const std::string&) {
    std::ostringstream text;
    const char* separator = "";
    for (std::uint8_t byte : locoAddressBytes(locoAddress())) {
        text << separator;
        binaryValue(byte, text);
        separator = " ";
    }
    switch (speedMode()) {
    case 0:
        text << " 01DUSSSS EEEEEEEE";
        break;
    case 1:
        text << " 01DSSSSS EEEEEEEE";
        break;
    case 2:
        text << " 00111111 DSSSSSSSS EEEEEEEE";
        break;
    default:
        break;
    }
    speedPacketTypeString_ = text.str();
    didChangeValueForKey("speedPacketTypeString");
}

void DCCController::setLocoSpeed(std::int64_t speed) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (speed < 0) {
        // The stop commands' request: the speed reads 0, the packet of the command itself
        // stops the locomotive, and the standing speed packet is left as and where it is.
        shown_->setSpeed(0, 0);
        announce(*shown_);
        return;
    }
    if (!started_) {
        didChangeValueForKey("locoSpeed"); // nothing sent: the display goes back to what was
        return;
    }
    sendSpeed(*shown_, speed, true);
}

bool DCCController::setSpeedOf(std::int64_t address, std::int64_t speed) {
    if (!isValidLocoAddress(address) || !started_) {
        return false;
    }
    sendSpeed(locomotiveAt(address), std::max<std::int64_t>(speed, 0), true);
    return true;
}

void DCCController::sendSpeed(Locomotive& loco, std::int64_t speed, bool show) {
    speed = std::clamp<std::int64_t>(speed, 0, maximumLocoSpeed);
    const std::optional<DCCSpeedInstruction> instruction =
        speedInstruction(loco.speedMode(), speed, loco.direction(), loco.functionIsOn(0));
    if (!instruction) {
        return; // no mode of the three: never stored, see setSpeedMode
    }
    DCCMessage& record = *recordsOf(loco).speed;
    rewrite(record, joined(locoAddressBytes(loco.address()), instruction->bytes));
    loco.setSpeed(speed, instruction->step);
    loco.setEmergencyStopped(false);
    keepRefreshing(loco);
    supersedeStops(loco, true);
    handOver(record, 0);
    if (show) {
        updateSentPacketString(record);
    }
    announce(loco);
}

// A stop still repeating in the queues would otherwise go out after the newer command and undo
// it on the track while the throttle shows the command: the locomotive's own emergency stop
// always gives way to a new speed; stop all and the reset, which concern every locomotive, give
// way once they have reached the track (a record is queued with four repeats to go).
void DCCController::supersedeStops(Locomotive& loco, bool speed) {
    auto reachedTheTrack = [this](const DCCMessage* record) {
        return record->queue != nullptr && record->repeatsLeft < dispatcher_.policy().repeats;
    };
    if (speed) {
        dispatcher_.removeMessage(loco.records().emergencyStop);
        if (reachedTheTrack(catalogue_[broadcastStopIndex].get())) {
            dispatcher_.removeMessage(catalogue_[broadcastStopIndex].get());
        }
    }
    if (reachedTheTrack(catalogue_[resetIndex].get())) {
        dispatcher_.removeMessage(catalogue_[resetIndex].get());
    }
}

void DCCController::rewrite(DCCMessage& message, const std::vector<std::uint8_t>& bytes) {
    switch (bytes.size()) {
    case 2:
        message.updateData(bytes[0], bytes[1]);
        break;
    case 3:
        message.updateData(bytes[0], bytes[1], bytes[2]);
        break;
    case 4:
        message.updateData(bytes[0], bytes[1], bytes[2], bytes[3]);
        break;
    default:
        break; // no packet the cab builds has another length
    }
}

// --- Direction and functions -----------------------------------------------------------------

void DCCController::setLocoDirection(std::int64_t direction) {
    DCCCAB_ASSERT_MAIN_THREAD();
    direction = direction == 1 ? 1 : 0;
    if (!started_ || direction == shown_->direction()) {
        didChangeValueForKey("locoDirection");
        return;
    }
    changeDirection(*shown_, direction);
}

bool DCCController::setDirectionOf(std::int64_t address, std::int64_t direction) {
    if (!isValidLocoAddress(address) || !started_) {
        return false;
    }
    Locomotive& loco = locomotiveAt(address);
    if ((direction == 1 ? 1 : 0) != loco.direction()) {
        changeDirection(loco, direction == 1 ? 1 : 0);
    }
    return true;
}

// A new direction goes out at once with the speed it runs at: a train never runs on the other
// way than the throttle shows.
void DCCController::changeDirection(Locomotive& loco, std::int64_t direction) {
    loco.setDirection(direction);
    sendSpeed(loco, loco.speed(), true);
}

bool DCCController::functionIsOn(int function) const {
    return isValidFunction(function) && shown_->functionIsOn(function);
}

bool DCCController::functionIsMomentary(int function) const {
    return isValidFunction(function) && shown_->functionIsMomentary(function);
}

std::string DCCController::functionLabel(int function) const {
    const RosterEntry* entry = roster_.findByAddress(locoAddress());
    if (entry != nullptr && isValidFunction(function) &&
        !entry->functionLabels[static_cast<std::size_t>(function)].empty()) {
        return entry->functionLabels[static_cast<std::size_t>(function)];
    }
    return "F" + std::to_string(function);
}

void DCCController::setFunction(int function, bool on) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (isValidFunction(function) && started_) {
        changeFunction(*shown_, function, on);
    }
}

bool DCCController::setFunctionOf(std::int64_t address, int function, bool on) {
    if (!isValidLocoAddress(address) || !isValidFunction(function) || !started_) {
        return false;
    }
    changeFunction(locomotiveAt(address), function, on);
    return true;
}

void DCCController::pressFunction(int function) {
    if (!isValidFunction(function)) {
        return;
    }
    setFunction(function, shown_->functionIsMomentary(function) || !shown_->functionIsOn(function));
}

void DCCController::releaseFunction(int function) {
    if (isValidFunction(function) && shown_->functionIsMomentary(function)) {
        setFunction(function, false);
    }
}

void DCCController::sendFunctionGroup(Locomotive& loco, int group) {
    DCCMessage& record = *recordsOf(loco).functionGroups[static_cast<std::size_t>(group)];
    rewrite(record, joined(locoAddressBytes(loco.address()),
                           functionGroupInstruction(group, loco.functions())));
    keepRefreshing(loco);
    supersedeStops(loco, false);
    handOver(record, 1);
}

void DCCController::changeFunction(Locomotive& loco, int function, bool on) {
    const FunctionSet bit = functionBit(function);
    loco.setFunctions(on ? loco.functions() | bit : loco.functions() & ~bit);
    const int group = functionGroupOf(function);
    sendFunctionGroup(loco, group);
    const DCCMessage& record = *loco.records().functionGroups[static_cast<std::size_t>(group)];
    if (function == 0 && loco.speedMode() == 0 && !loco.isEmergencyStopped()) {
        // A 14-step decoder takes its light from the speed instruction.
        sendSpeed(loco, loco.speed(), false);
    }
    updateSentPacketString(record);
    announce(loco);
}

// --- Actions ---------------------------------------------------------------------------------

void DCCController::sendSpeedChange(const ValueControl* sender) {
    if (sender != nullptr) {
        setLocoSpeed(sender->integerValue());
    }
}

void DCCController::changeSpeedBySteps(std::int64_t steps) {
    if (topSpeedStep(speedMode()) == 0) {
        return;
    }
    setLocoSpeed(speedForStep(speedMode(), currentSpeedStep() + steps));
}

void DCCController::sendDirectionChange(Button* sender) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (started_) {
        changeDirection(*shown_, shown_->direction() == 1 ? 0 : 1);
    }
    if (sender != nullptr) {
        sender->setTitle(shown_->direction() == 1 ? "FORWARD" : "REVERSE");
    }
}

void DCCController::headlight(Button* sender) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (!started_) {
        return;
    }
    changeFunction(*shown_, 0, !shown_->functionIsOn(0));
    if (sender != nullptr) {
        sender->setTitle(shown_->functionIsOn(0) ? "ON" : "OFF");
    }
}

void DCCController::sendIdle(const void*) {
    if (!started_) {
        return;
    }
    handOver(idleIndex, 1);
    updateSentPacketString(*catalogue_[idleIndex]);
}

void DCCController::withdraw(Locomotive& loco, bool functions) {
    const Locomotive::Records& records = loco.records();
    if (records.speed == nullptr) {
        return; // never driven: nothing of it is queued
    }
    dispatcher_.removeMessage(records.speed);
    if (functions) {
        for (DCCMessage* record : records.functionGroups) {
            dispatcher_.removeMessage(record);
        }
    }
}

void DCCController::sendReset(const void*) {
    if (!started_) {
        return;
    }
    restartEveryLocomotive(false);
    handOver(resetIndex, 1);
    updateSentPacketString(*catalogue_[resetIndex]);
    announceAll();
}

void DCCController::sendStop(const void*) {
    setLocoSpeed(0);
}

void DCCController::sendEmergencyStopTo(Locomotive& loco, std::int32_t priority) {
    withdraw(loco, false);
    DCCMessage& record = *recordsOf(loco).emergencyStop;
    rewrite(record, joined(locoAddressBytes(loco.address()),
                           {emergencyStopInstruction(loco.speedMode(), loco.direction(),
                                                     loco.functionIsOn(0))}));
    loco.setSpeed(0, 0);
    loco.setEmergencyStopped(true);
    handOver(record, priority);
}

void DCCController::sendEmergencyStop(const void*) {
    if (!started_) {
        return;
    }
    sendEmergencyStopTo(*shown_, 1);
    updateSentPacketString(*shown_->records().emergencyStop);
    announce(*shown_);
}

bool DCCController::emergencyStopOf(std::int64_t address) {
    if (!isValidLocoAddress(address) || !started_) {
        return false;
    }
    Locomotive& loco = locomotiveAt(address);
    sendEmergencyStopTo(loco, 1);
    updateSentPacketString(*loco.records().emergencyStop);
    announce(loco);
    return true;
}

void DCCController::sendBroadcastEmergencyStop(const void*) {
    if (!started_) {
        return;
    }
    for (const auto& loco : locomotives_) {
        withdraw(*loco, false);
        loco->setSpeed(0, 0);
        loco->setEmergencyStopped(true);
    }
    handOver(broadcastStopIndex, 1);
    updateSentPacketString(*catalogue_[broadcastStopIndex]);
    announceAll();
}

void DCCController::sendDump(const void*) {
    if (!started_) {
        return;
    }
    for (std::size_t i = 0; i <= emergencyStopIndex; ++i) {
        std::printf("\n %p", static_cast<void*>(catalogue_[i].get()));
        catalogue_[i]->timesSent = 0;
    }
    std::printf("\n");
    sendEmergencyStopTo(*shown_, 0);
    // The reset and the stop all that follow: every locomotive ends stopped, lights off.
    restartEveryLocomotive(true);
    handOver(resetIndex, 1);
    handOver(broadcastStopIndex, 1);
    announceAll();
}

// Every decoder restarts stopped, forward, with its functions off: so does every locomotive
// here, and nothing queued before may undo that on the track.
void DCCController::restartEveryLocomotive(bool emergencyStopped) {
    for (const auto& loco : locomotives_) {
        withdraw(*loco, true);
        loco->setSpeed(0, 0);
        loco->setDirection(1);
        loco->setFunctions(0);
        loco->setEmergencyStopped(emergencyStopped);
    }
}

void DCCController::announceAll() {
    announceShown();
    didChangeValueForKey("locomotives", std::any(std::int64_t{0}));
}

void DCCController::dumpInfo(const void*) {
    if (!started_) {
        return;
    }
    for (std::size_t i = 0; i <= emergencyStopIndex; ++i) {
        std::printf("\n %p   %i", static_cast<void*>(catalogue_[i].get()),
                    catalogue_[i]->timesSent);
    }
}

void DCCController::testDispatcher() {
    DCCCAB_ASSERT_MAIN_THREAD();
    std::vector<DCCMessage*> made;
    for (int i = 0; i < 5; ++i) {
        testMessages_.push_back(std::make_unique<DCCMessage>());
        made.push_back(testMessages_.back().get());
    }
    std::printf("\n");
    auto sent = [this] {
        sendNextFrame();
        std::printf("\n SENT MESSAGE \n");
    };
    dispatcher_.addMessage(made[0], 1);
    if (dispatcher_.empty()) {
        sent();
    }
    dispatcher_.addMessage(made[1], 1);
    dispatcher_.addMessage(made[2], 1);
    sent();
    dispatcher_.addMessage(made[3], 1);
    sent();
    dispatcher_.addMessage(made[4], 1);
    sent();
    while (!dispatcher_.empty()) {
        sent();
    }
    std::printf("\n Q EMPTY");
    for (const DCCMessage* message : made) {
        std::printf("\n %p   %i", static_cast<const void*>(message), message->timesSent);
    }
    followDispatcher();
}

// --- Display ---------------------------------------------------------------------------------

void DCCController::displayMessage(std::string text) {
    DCCCAB_ASSERT_MAIN_THREAD();
    TextView* view = receivedDataTextView();
    if (text.empty() || !isValidUtf8(text) || view == nullptr) {
        return;
    }
    view->appendString(text);
    view->scrollToEnd();
}

void DCCController::updateSentPacketString(const DCCMessage& message) {
    std::ostringstream text;
    for (std::size_t i = 1; i <= message.packetLength && i < message.frame.size(); ++i) {
        binaryValue(message.frame[i], text);
        text << ' ';
    }
    setSentPacketString(text.str());
}

// --- The port and the link -------------------------------------------------------------------

void DCCController::setSerialPort(std::shared_ptr<KESSerialPort> port) {
    KESSerialPortDemoController::setSerialPort(std::move(port));
    dispatcher_.setSerialPort(serialPort());
}

void DCCController::serialPortWasOpened(KESSerialPort& port) {
    KESSerialPortDemoController::serialPortWasOpened(port);
    setPortIsOpen(true);
    station_->clear();
    setTrackPowerState(TrackPower::unknown);
    greetStation();
    if (!dispatcher_.empty() || !ownCommands_.empty()) {
        // The frame awaiting its reply went nowhere while the port was closed: none will come.
        sendNextFrame();
    } else {
        followDispatcher();
    }
}

void DCCController::serialPortWasClosed(KESSerialPort& port) {
    KESSerialPortDemoController::serialPortWasClosed(port);
    setPortIsOpen(false);
    ownCommands_.clear();
    station_->clear();
    setTrackPowerState(TrackPower::unknown);
    if (stalled_) {
        stalled_ = false; // whatever stalled ended with the opening
        didChangeValueForKey("stationIsAnswering");
    }
    followDispatcher();
}

void DCCController::serialPortDidReceiveData(KESSerialPort&, const Bytes& data) {
    DCCCAB_ASSERT_MAIN_THREAD();
    for (const StationEvent& event : station_->feed(data)) {
        takeStationEvent(event);
    }
}

void DCCController::takeReply() {
    if (powerAsked_) {
        // Answered without a report (SPROG never gives one; DCC-EX none when nothing changed).
        setTrackPowerState(*powerAsked_ ? TrackPower::on : TrackPower::off);
        powerAsked_.reset();
    }
    // The answers to what only keeps the line busy or refreshes are not shown: they would drown
    // the rest.
    if (!dispatcher_.lastWriteWasBackground()) {
        if (TextView* view = receivedDataTextView()) {
            view->appendString("ACKNOWLEDGE\n");
            view->scrollToEnd();
        }
    }
    if (stalled_) {
        stalled_ = false;
        didChangeValueForKey("stationIsAnswering");
        const std::string name = serialPort() ? serialPort()->name() : std::string("the port");
        Log::line("The command station on " + name + " answers again");
        reportProblem("");
    }
    if (!dispatcher_.empty()) {
        sendNextFrame();
    } else {
        followDispatcher();
    }
}

void DCCController::takeStationEvent(const StationEvent& event) {
    using Kind = StationEvent::Kind;
    if (event.kind != Kind::reply && !event.text.empty()) {
        displayMessage(event.text + "\n");
    }
    switch (event.kind) {
    case Kind::reply:
        takeReply();
        break;
    case Kind::power:
        powerAsked_.reset(); // the station's own word goes
        setTrackPowerState(event.power);
        break;
    case Kind::locomotive:
        takeLocomotiveReport(event);
        break;
    case Kind::version:
        stationVersion_ = event.text;
        Log::line("Command station: " + event.text);
        didChangeValueForKey("stationVersion");
        break;
    case Kind::refused:
        Log::line("The command station refused a command");
        reportProblem("The command station refused a command; see the received data for its "
                      "reply, and check the locomotive's address and the station's settings");
        break;
    case Kind::overload:
        powerAsked_.reset();
        setTrackPowerState(TrackPower::off);
        Log::line("Track power cut out: overload or short circuit");
        reportProblem("Track power cut out: there is a short circuit or too much load on the "
                      "track. Clear it, then switch power on again");
        break;
    case Kind::error:
        Log::line("The command station reported an error: " + event.text);
        reportProblem("The command station reported an error (" + event.text +
                      "); check that the right kind of station is chosen for this port");
        break;
    case Kind::stationReset:
        Log::line("The command station restarted; sending the locomotives in use again");
        setTrackPowerState(TrackPower::unknown);
        reportProblem("The command station restarted; the locomotives in use were sent again. "
                      "Switch track power on when ready");
        // Asked who it is again first: a greeting written while it was starting went nowhere.
        greetStation();
        if (dispatcher_.empty()) {
            sendNextFrame();
        }
        resendLocomotives();
        break;
    case Kind::notice:
        break;
    case Kind::unknown:
        Log::line("Unknown reply from the command station: " + event.text);
        reportProblem("The command station sent something this program does not understand; "
                      "check that the right kind of station and baud rate are chosen");
        break;
    case Kind::lineTooLong:
        Log::line(event.text);
        reportProblem(event.text);
        break;
    }
}

// The station tells the state a locomotive is in, whichever throttle set it. A report for a
// locomotive with a newer command of ours still waiting is already out of date: that command
// brings its own report.
void DCCController::takeLocomotiveReport(const StationEvent& event) {
    const Locomotive* known = findLocomotive(event.address);
    if (known == nullptr) {
        return;
    }
    Locomotive& loco = const_cast<Locomotive&>(*known);
    const Locomotive::Records& records = loco.records();
    auto waiting = [](const DCCMessage* record) {
        return record != nullptr && record->queue != nullptr;
    };
    if (waiting(records.speed) || waiting(records.emergencyStop) ||
        std::any_of(records.functionGroups.begin(), records.functionGroups.end(), waiting)) {
        return;
    }
    const int code = event.speedByte & 0x7F;
    const bool emergency = code == 1;
    const std::int64_t step126 = code >= 2 ? code - 1 : 0;
    const std::int64_t top = topSpeedStep(loco.speedMode());
    // The station's 126 steps in the locomotive's own mode; any motion stays motion.
    std::int64_t step = (step126 * top + 63) / 126;
    if (step126 > 0 && step == 0) {
        step = 1;
    }
    const std::int64_t direction = (event.speedByte & 0x80) != 0 ? 1 : 0;
    const FunctionSet functions = event.functions & allFunctions;
    if (step == loco.speedStep() && direction == loco.direction() &&
        emergency == loco.isEmergencyStopped() && functions == loco.functions()) {
        return;
    }
    loco.setSpeed(speedForStep(loco.speedMode(), step), step);
    loco.setDirection(direction);
    loco.setEmergencyStopped(emergency);
    loco.setFunctions(functions);
    announce(loco);
}

void DCCController::setTrackPowerState(TrackPower power) {
    if (power != trackPower_) {
        trackPower_ = power;
        didChangeValueForKey("trackPower");
    }
}

bool DCCController::setTrackPower(bool on) {
    DCCCAB_ASSERT_MAIN_THREAD();
    const Bytes command = station_->encodePower(on);
    if (command.empty()) {
        reportProblem("The command-station board has no power command; switch track power at "
                      "the board");
        return false;
    }
    if (!portIsOpen_) {
        reportProblem("Open the command station's port first, then switch track power");
        return false;
    }
    ownCommands_.push_back({command, on});
    if (dispatcher_.empty()) {
        sendNextFrame();
    }
    return true;
}

void DCCController::greetStation() {
    ownCommands_.clear();
    const Bytes greeting = station_->greeting();
    if (!greeting.empty()) {
        ownCommands_.push_back({greeting, std::nullopt});
    }
}

void DCCController::setStationKind(StationKind kind) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (kind != station_->kind()) {
        station_ = makeStationProtocol(kind);
        for (const auto& loco : locomotives_) {
            station_->setSpeedSteps(loco->address(), loco->speedMode() == 0 ? 14 : 28);
        }
        applyStationPolicy();
        stationVersion_.clear();
        setTrackPowerState(TrackPower::unknown);
        didChangeValueForKey("stationVersion");
        if (portIsOpen_) {
            greetStation();
            if (dispatcher_.empty() && !ownCommands_.empty()) {
                sendNextFrame();
            }
        }
    }
    didChangeValueForKey("stationKind");
}

void DCCController::applyStationPolicy() {
    DCCDispatcher::Policy policy;
    policy.repeats = station_->repeats();
    policy.secondQueue = station_->repeatsInSecondQueue();
    policy.keepsLinkBusy = station_->keepsLinkBusy();
    const bool board = station_->kind() == StationKind::board;
    policy.idleOnLastWrite = board;
    policy.spacesRepeats = !station_->refreshesItself();
    policy.refreshes = isRefreshing();
    dispatcher_.setPolicy(policy);
    if (board) {
        dispatcher_.setEncoder({}); // the frames exactly as they always were
    } else {
        dispatcher_.setEncoder([this](const DCCMessage& m) { return encodeForStation(m); });
    }
}

Bytes DCCController::encodeForStation(const DCCMessage& message) {
    const std::size_t length =
        std::min<std::size_t>(message.packetLength, DCCMessage::frameCapacity - 1);
    return station_->encodePacket(std::span<const std::uint8_t>(message.frame.data() + 1, length));
}

void DCCController::setRefreshesBoard(bool refreshes) {
    refreshesBoard_ = refreshes;
    applyStationPolicy();
    didChangeValueForKey("refreshesBoard");
    if (refreshes && dispatcher_.empty() && portIsOpen_) {
        sendNextFrame();
    }
}

bool DCCController::isRefreshing() const {
    if (station_->refreshesItself()) {
        return false;
    }
    return station_->kind() != StationKind::board || refreshesBoard_;
}

namespace {
// A stopped locomotive is refreshed this many more times before it leaves the refresh, so that
// a decoder that missed the stop still gets it.
constexpr int refreshesAfterStop = 8;
// At most this many records make one refresh cycle.
constexpr std::size_t refreshCycleLimit = 64;
} // namespace

void DCCController::keepRefreshing(const Locomotive& loco) {
    refreshesLeft_[loco.address()] = refreshesAfterStop;
}

// One record per call, in turn: for each locomotive moving, or stopped lately, its speed packet
// and its function groups with a function on. A locomotive emergency-stopped or reset is left
// out: its standing speed packet no longer says what it was told.
DCCMessage* DCCController::nextRefresh() {
    if (!isRefreshing() || !portIsOpen_) {
        return nullptr;
    }
    std::vector<std::pair<Locomotive*, DCCMessage*>> cycle;
    for (const auto& loco : locomotives_) {
        const Locomotive::Records& records = loco->records();
        if (records.speed == nullptr || loco->isEmergencyStopped()) {
            continue;
        }
        const auto left = refreshesLeft_.find(loco->address());
        if (loco->speedStep() == 0 && (left == refreshesLeft_.end() || left->second <= 0)) {
            continue;
        }
        cycle.emplace_back(loco.get(), records.speed);
        for (int group = 0; group < functionGroupCount; ++group) {
            if ((loco->functions() & functionsOfGroup(group)) != 0) {
                cycle.emplace_back(loco.get(),
                                   records.functionGroups[static_cast<std::size_t>(group)]);
            }
        }
        if (cycle.size() >= refreshCycleLimit) {
            break;
        }
    }
    if (cycle.empty()) {
        return nullptr;
    }
    const auto& [loco, record] = cycle[refreshTurn_++ % cycle.size()];
    if (record == loco->records().speed && loco->speedStep() == 0) {
        --refreshesLeft_[loco->address()];
    }
    return record;
}

void DCCController::resendLocomotives() {
    for (const auto& loco : locomotives_) {
        if (loco->records().speed == nullptr) {
            continue;
        }
        if (loco->isEmergencyStopped()) {
            sendEmergencyStopTo(*loco, 1);
        } else {
            sendSpeed(*loco, loco->speed(), false);
        }
        for (int group = 0; group < functionGroupCount; ++group) {
            if ((loco->functions() & functionsOfGroup(group)) != 0) {
                sendFunctionGroup(*loco, group);
            }
        }
    }
    announceAll();
}

void DCCController::handOver(std::size_t index, std::int32_t priority) {
    handOver(*catalogue_[index], priority);
}

void DCCController::handOver(DCCMessage& message, std::int32_t priority) {
    dispatcher_.addMessage(&message, priority);
    followDispatcher();
}

void DCCController::sendNextFrame() {
    if (!ownCommands_.empty() && portIsOpen_ && serialPort()) {
        const OwnCommand command = std::move(ownCommands_.front());
        ownCommands_.pop_front();
        ++ownWrites_;
        powerAsked_ = command.power;
        dispatcher_.awaitOwnReply();
        serialPort()->sendData(command.bytes);
    } else {
        dispatcher_.sendNextMessage();
    }
    followDispatcher();
}

// Keeps one reply timer running for the newest frame while one is unanswered on an open port.
// While the port is closed nothing can answer, and nothing is sent on for it: what is queued
// waits, and goes out once the port opens.
void DCCController::followDispatcher() {
    if (dispatcher_.empty() || !portIsOpen_) {
        replyTimer_.reset();
        framesTimed_ = framesWritten();
        return;
    }
    if (!replyTimer_.holdsSubscription() || framesWritten() != framesTimed_) {
        framesTimed_ = framesWritten();
        replyTimer_ = MainQueue::shared().after(replyTimeout_, [this] { replyTimedOut(); });
    }
}

void DCCController::replyTimedOut() {
    replyTimer_.reset();
    if (dispatcher_.empty() || !portIsOpen_) {
        return;
    }
    if (!stalled_) {
        stalled_ = true;
        didChangeValueForKey("stationIsAnswering");
        setTrackPowerState(TrackPower::unknown);
        const std::string name = serialPort() ? serialPort()->name() : std::string("the port");
        Log::line("No reply from the command station on " + name + " within " +
                  std::to_string(replyTimeout_.count()) +
                  " ms; sending the next packet without one");
        reportProblem("The command station does not answer; check that it is switched on and "
                      "set to the same baud rate");
    }
    sendNextFrame();
}

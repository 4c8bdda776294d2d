#include "DCCController.h"

#include "Button.h"
#include "DCCMessage.h"
#include "DCCSpeedEncoding.h"
#include "KESSerialPort.h"
#include "Log.h"
#include "MainQueue.h"
#include "PopUpButton.h"
#include "TextView.h"
#include "ValueControl.h"
#include "binaryValue.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <utility>

std::array<DCCMessage*, DCCController::catalogueSize> messageList{};

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, nothing cut short.
bool isValidUtf8(const Bytes& bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t lead = bytes[i];
        std::size_t length = 0;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (bytes.size() - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const std::uint8_t byte = bytes[i + k];
            const std::uint8_t from = k == 1 ? low : 0x80;
            const std::uint8_t to = k == 1 ? high : 0xBF;
            if (byte < from || byte > to) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

bool isValidUtf8(const std::string& text) {
    return isValidUtf8(Bytes(text.begin(), text.end()));
}

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
        addressModeButton_->selectItemAtIndex(static_cast<int>(speedMode_));
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

void DCCController::setCurrentSpeedStep(std::int64_t step) {
    currentSpeedStep_ = step;
    didChangeValueForKey("currentSpeedStep");
}

void DCCController::setLocoDirection(std::int64_t direction) {
    locoDirection_ = direction;
    didChangeValueForKey("locoDirection");
}

void DCCController::setSentPacketString(std::string text) {
    sentPacketString_ = std::move(text);
    didChangeValueForKey("sentPacketString");
}

void DCCController::setReplyTimeout(std::chrono::milliseconds timeout) {
    replyTimeout_ = std::max(timeout, std::chrono::milliseconds(1));
    didChangeValueForKey("replyTimeout");
}

bool DCCController::headlightIsOn() const {
    const DCCMessage* message = catalogue_[headlightIndex].get();
    return message != nullptr && (message->frame[message->packetLength - 1u] & 0x10) != 0;
}

// --- Address, mode and speed -----------------------------------------------------------------

bool DCCController::setLocoAddress(std::int64_t address) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (!isValidLocoAddress(address)) {
        const std::string held = std::to_string(locoAddress_);
        Log::line("Refused locomotive address " + std::to_string(address) +
                  ": addresses run from 1 to 10239; still driving address " + held);
        reportProblem("Address " + std::to_string(address) +
                      " is not a locomotive address (1 to 10239); still driving address " + held);
        didChangeValueForKey("locoAddress");
        return false;
    }
    locoAddress_ = address;
    didChangeValueForKey("locoAddress");
    setSpeedPacketTypeString();
    return true;
}

void DCCController::setSpeedMode(std::int64_t mode) {
    DCCCAB_ASSERT_MAIN_THREAD();
    speedMode_ = mode;
    didChangeValueForKey("speedMode");
    setSpeedPacketTypeString();
}

void DCCController::setSpeedPacketTypeString(const std::string&) {
    std::ostringstream text;
    const char* separator = "";
    for (std::uint8_t byte : locoAddressBytes(locoAddress_)) {
        text << separator;
        binaryValue(byte, text);
        separator = " ";
    }
    switch (speedMode_) {
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
        setCurrentSpeedStep(0);
        locoSpeed_ = 0;
        didChangeValueForKey("locoSpeed");
        return;
    }
    locoSpeed_ = std::min(speed, maximumLocoSpeed);
    didChangeValueForKey("locoSpeed");
    if (!catalogue_[speedIndex]) {
        return; // not started: nothing to rewrite yet
    }
    rewriteSpeed(locoSpeed_);
    handOver(speedIndex, 0);
    updateSentPacketString(*catalogue_[speedIndex]);
}

void DCCController::rewriteSpeed(std::int64_t speed) {
    const std::optional<DCCSpeedInstruction> instruction =
        speedInstruction(speedMode_, speed, locoDirection_, headlightIsOn());
    if (!instruction) {
        return; // a mode that is none of the three: "SPEED" stays as it was
    }
    setCurrentSpeedStep(instruction->step);
    rewrite(*catalogue_[speedIndex], joined(locoAddressBytes(locoAddress_), instruction->bytes));
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

// --- Actions ---------------------------------------------------------------------------------

void DCCController::sendSpeedChange(const ValueControl* sender) {
    if (sender != nullptr) {
        setLocoSpeed(sender->integerValue());
    }
}

void DCCController::changeSpeedBySteps(std::int64_t steps) {
    if (topSpeedStep(speedMode_) == 0) {
        return;
    }
    setLocoSpeed(speedForStep(speedMode_, currentSpeedStep_ + steps));
}

void DCCController::sendDirectionChange(Button* sender) {
    DCCCAB_ASSERT_MAIN_THREAD();
    const bool wasForward = locoDirection_ == 1;
    locoDirection_ = wasForward ? 0 : 1;
    if (sender != nullptr) {
        sender->setTitle(wasForward ? "REVERSE" : "FORWARD");
    }
}

void DCCController::headlight(Button* sender) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (!catalogue_[headlightIndex]) {
        return;
    }
    DCCMessage& message = *catalogue_[headlightIndex];
    const bool wasOn = headlightIsOn();
    if (sender != nullptr) {
        sender->setTitle(wasOn ? "OFF" : "ON");
    }
    rewrite(message, joined(locoAddressBytes(locoAddress_), {functionGroupOne(!wasOn)}));
    handOver(headlightIndex, 1);
    if (speedMode_ == 0) {
        // A 14-step decoder takes its light from the speed instruction.
        rewriteSpeed(locoSpeed_);
        handOver(speedIndex, 0);
    }
    updateSentPacketString(message);
}

void DCCController::sendIdle(const void*) {
    if (!catalogue_[idleIndex]) {
        return;
    }
    handOver(idleIndex, 1);
    updateSentPacketString(*catalogue_[idleIndex]);
}

void DCCController::sendReset(const void*) {
    setLocoSpeed(-1);
    if (!catalogue_[resetIndex]) {
        return;
    }
    withdrawSpeed();
    handOver(resetIndex, 1);
    updateSentPacketString(*catalogue_[resetIndex]);
}

void DCCController::sendStop(const void*) {
    setLocoSpeed(0);
}

void DCCController::sendEmergencyStop(const void*) {
    setLocoSpeed(-1);
    if (!catalogue_[emergencyStopIndex]) {
        return;
    }
    withdrawSpeed();
    DCCMessage& message = *catalogue_[emergencyStopIndex];
    rewrite(message,
            joined(locoAddressBytes(locoAddress_),
                   {emergencyStopInstruction(speedMode_, locoDirection_, headlightIsOn())}));
    handOver(emergencyStopIndex, 1);
    updateSentPacketString(message);
}

void DCCController::sendBroadcastEmergencyStop(const void*) {
    setLocoSpeed(-1);
    if (!catalogue_[broadcastStopIndex]) {
        return;
    }
    withdrawSpeed();
    handOver(broadcastStopIndex, 1);
    updateSentPacketString(*catalogue_[broadcastStopIndex]);
}

void DCCController::sendDump(const void*) {
    if (!catalogue_[emergencyStopIndex]) {
        return;
    }
    for (std::size_t i = 0; i <= emergencyStopIndex; ++i) {
        std::printf("\n %p", static_cast<void*>(catalogue_[i].get()));
        catalogue_[i]->timesSent = 0;
    }
    std::printf("\n");
    rewrite(*catalogue_[emergencyStopIndex],
            joined(locoAddressBytes(locoAddress_),
                   {emergencyStopInstruction(speedMode_, locoDirection_, headlightIsOn())}));
    handOver(emergencyStopIndex, 0);
    handOver(resetIndex, 1);
    handOver(broadcastStopIndex, 1);
}

void DCCController::dumpInfo(const void*) {
    if (!catalogue_[emergencyStopIndex]) {
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
    if (!dispatcher_.empty()) {
        // The frame awaiting its reply went nowhere while the port was closed: none will come.
        sendNextFrame();
    } else {
        followDispatcher();
    }
}

void DCCController::serialPortWasClosed(KESSerialPort& port) {
    KESSerialPortDemoController::serialPortWasClosed(port);
    setPortIsOpen(false);
    stalled_ = false; // whatever stalled ended with the opening
    followDispatcher();
}

void DCCController::serialPortDidReceiveData(KESSerialPort& port, const Bytes& data) {
    DCCCAB_ASSERT_MAIN_THREAD();
    if (data.empty() || !isValidUtf8(data)) {
        return;
    }
    if (TextView* view = receivedDataTextView()) {
        view->appendString("ACKNOWLEDGE\n");
        view->scrollToEnd();
    }
    if (stalled_) {
        stalled_ = false;
        Log::line("The command station on " + port.name() + " answers again");
        reportProblem("");
    }
    if (!dispatcher_.empty()) {
        sendNextFrame();
    } else {
        followDispatcher();
    }
}

void DCCController::handOver(std::size_t index, std::int32_t priority) {
    dispatcher_.addMessage(catalogue_[index].get(), priority);
    followDispatcher();
}

// A speed packet still waiting would go out again after the stop and start the train once more.
void DCCController::withdrawSpeed() {
    dispatcher_.removeMessage(catalogue_[speedIndex].get());
}

void DCCController::sendNextFrame() {
    dispatcher_.sendNextMessage();
    followDispatcher();
}

// Keeps one reply timer running for the newest frame while one is unanswered on an open port.
// While the port is closed nothing can answer, and nothing is sent on for it: what is queued
// waits, and goes out once the port opens.
void DCCController::followDispatcher() {
    if (dispatcher_.empty() || !portIsOpen_) {
        replyTimer_.reset();
        framesTimed_ = dispatcher_.framesWritten();
        return;
    }
    if (!replyTimer_.holdsSubscription() || dispatcher_.framesWritten() != framesTimed_) {
        framesTimed_ = dispatcher_.framesWritten();
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
        const std::string name = serialPort() ? serialPort()->name() : std::string("the port");
        Log::line("No reply from the command station on " + name + " within " +
                  std::to_string(replyTimeout_.count()) +
                  " ms; sending the next packet without one");
        reportProblem("The command station does not answer; check that it is switched on and "
                      "set to the same baud rate");
    }
    sendNextFrame();
}

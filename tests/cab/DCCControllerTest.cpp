#include "DCCController.h"

#include "BackgroundThreads.h"
#include "DCCMessage.h"
#include "KESSerialPort.h"
#include "MemoryButton.h"
#include "MemoryPopUpButton.h"
#include "MemoryTextField.h"
#include "MemoryTextView.h"
#include "MemoryValueControl.h"
#include "PseudoTerminalPair.h"
#include "RecordingLog.h"
#include "TestDeviceRegistry.h"
#include "TestMainQueue.h"

#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>

using testing::ContainsRegex;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

class TestManager : public KESSerialPortManager {};

Bytes packetOf(const DCCMessage& message) {
    return Bytes(message.frame.begin() + 1, message.frame.begin() + 1 + message.packetLength);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The cab with in-memory controls on a test manager that lists nothing; the port, where a test
// needs one, is a real pseudo-terminal whose far end the test plays.
class DCCControllerTest : public testing::Test {
protected:
    void SetUp() override {
        MainQueue::setShared(&queue);
        manager = std::make_unique<TestManager>();
        cab = std::make_unique<DCCController>(*manager);
        cab->setReceivedDataTextView(&view);
        cab->setSendTextField(&field);
        cab->setOpenCloseButton(&openClose);
        cab->setAddressModeButton(&modes);
        cab->awakeFromNib();
    }

    void TearDown() override {
        cab.reset();
        if (port) {
            port->setDelegate(nullptr);
            port->close();
            port.reset();
        }
        manager.reset();
        ASSERT_TRUE(queue.runUntil([] { return BackgroundThreads::shared().running() == 0; }));
        MainQueue::setShared(nullptr);
    }

    // The catalogue's record at index; for "E_STOP", "SPEED" and "HEADLIGHT" the shown
    // locomotive's own record once it has them.
    DCCMessage& entry(std::size_t index) const {
        const Locomotive::Records& own = cab->shownLocomotive().records();
        if (own.speed != nullptr) {
            if (index == DCCController::speedIndex) {
                return *own.speed;
            }
            if (index == DCCController::emergencyStopIndex) {
                return *own.emergencyStop;
            }
            if (index == DCCController::headlightIndex) {
                return *own.functionGroups[0];
            }
        }
        return *cab->catalogueMessage(index);
    }

    void openPort() {
        port = KESSerialPort::serialPortWithKnownPath(pty.slavePath(), "ttyCAB");
        ASSERT_NE(port, nullptr);
        cab->setSerialPort(port);
        cab->openOrClosePort(nullptr);
        ASSERT_TRUE(queue.runUntil([&] { return cab->portIsOpen(); }));
    }

    std::uint64_t frames() const { return cab->dispatcher().framesWritten(); }

    TestMainQueue queue;
    TestDeviceRegistry registry;
    RecordingLog log;
    PseudoTerminalPair pty;
    MemoryTextView view;
    MemoryTextField field;
    MemoryButton openClose{"Open"};
    MemoryPopUpButton modes{3};
    std::unique_ptr<KESSerialPortManager> manager;
    std::unique_ptr<DCCController> cab;
    std::shared_ptr<KESSerialPort> port;
};

TEST_F(DCCControllerTest, StartsWithTheDefaultsAndListsItsCatalogue) {
    EXPECT_EQ(cab->locoAddress(), 3);
    EXPECT_EQ(cab->speedMode(), 1);
    EXPECT_EQ(cab->locoSpeed(), 0);
    EXPECT_EQ(cab->currentSpeedStep(), 0);
    EXPECT_EQ(cab->locoDirection(), 1);
    EXPECT_FALSE(cab->portIsOpen());
    EXPECT_EQ(cab->sentPacketString(), "");
    EXPECT_EQ(cab->speedPacketTypeString(), "00000011 01DSSSSS EEEEEEEE");
    EXPECT_EQ(modes.indexOfSelectedItem(), 1);
    EXPECT_EQ(controller, cab.get());

    const std::vector<std::string> lines = linesOf(view.string());
    ASSERT_EQ(lines.size(), 8u);
    const char* names[] = {"IDLE",   "RESET", "BROADCAST_STOP", "STOP",
                           "E_STOP", "SPEED", "HEADLIGHT"};
    for (std::size_t i = 0; i < DCCController::catalogueSize; ++i) {
        EXPECT_THAT(lines[i], ContainsRegex(std::string("^0x[0-9a-f]+ INIT ") + names[i] + "$"));
        EXPECT_EQ(messageList[i], cab->catalogueMessage(i));
        EXPECT_EQ(entry(i).name, names[i]);
    }
    EXPECT_EQ(lines[7], "");
    EXPECT_EQ(packetOf(entry(DCCController::broadcastStopIndex)), (Bytes{0x00, 0x71, 0x71}));
    EXPECT_EQ(packetOf(entry(DCCController::headlightIndex)), (Bytes{0x00, 0x80, 0x80}));
    EXPECT_EQ(frames(), 0u) << "nothing is sent before a command";

    cab.reset();
    EXPECT_EQ(controller, nullptr);
    EXPECT_EQ(messageList[0], nullptr);
}

// Speed packets, error byte last. The 128-step codes skip the emergency-stop code 1; addresses
// from 128 up take the long form.
TEST_F(DCCControllerTest, EncodesSpeedForEachModeDirectionAndAddress) {
    struct Case {
        std::int64_t address, mode, direction, speed;
        Bytes packet;
        std::int64_t step;
    };
    const Case cases[] = {
        {3, 1, 1, 0, {0x03, 0x60, 0x63}, 0},
        {3, 1, 1, 4, {0x03, 0x60, 0x63}, 0},
        {3, 1, 1, 5, {0x03, 0x62, 0x61}, 1},
        {3, 1, 1, 10, {0x03, 0x72, 0x71}, 2},
        {3, 1, 1, 64, {0x03, 0x78, 0x7B}, 14},
        {3, 1, 1, 127, {0x03, 0x7F, 0x7C}, 28},
        {3, 1, 0, 127, {0x03, 0x5F, 0x5C}, 28},
        {3, 1, 1, 200, {0x03, 0x7F, 0x7C}, 28},
        {3, 0, 1, 9, {0x03, 0x60, 0x63}, 0},
        {3, 0, 1, 10, {0x03, 0x62, 0x61}, 1},
        {3, 0, 1, 64, {0x03, 0x68, 0x6B}, 7},
        {3, 0, 1, 127, {0x03, 0x6F, 0x6C}, 14},
        {3, 0, 0, 127, {0x03, 0x4F, 0x4C}, 14},
        {3, 2, 1, 0, {0x03, 0x3F, 0x80, 0xBC}, 0},
        {3, 2, 1, 1, {0x03, 0x3F, 0x82, 0xBE}, 1},
        {3, 2, 1, 126, {0x03, 0x3F, 0xFF, 0xC3}, 126},
        {3, 2, 1, 127, {0x03, 0x3F, 0xFF, 0xC3}, 126},
        {3, 2, 0, 127, {0x03, 0x3F, 0x7F, 0x43}, 126},
        {127, 1, 1, 64, {0x7F, 0x78, 0x07}, 14},
        {128, 1, 1, 64, {0xC0, 0x80, 0x78, 0x38}, 14},
        {259, 1, 1, 64, {0xC1, 0x03, 0x78, 0xBA}, 14},
        {10239, 2, 1, 127, {0xE7, 0xFF, 0x3F, 0xFF, 0xD8}, 126},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "address " << c.address << ", mode " << c.mode
                                        << ", direction " << c.direction << ", speed " << c.speed);
        ASSERT_TRUE(cab->setLocoAddress(c.address));
        cab->setSpeedMode(c.mode);
        cab->setLocoDirection(c.direction);
        cab->setLocoSpeed(c.speed);
        EXPECT_EQ(packetOf(entry(DCCController::speedIndex)), c.packet);
        EXPECT_EQ(cab->currentSpeedStep(), c.step);
        EXPECT_EQ(cab->locoSpeed(), std::min<std::int64_t>(c.speed, 127));
        EXPECT_EQ(entry(DCCController::speedIndex).queue, &cab->dispatcher().dispatchQueue(0));
    }
    EXPECT_EQ(cab->sentPacketString(), "11100111 11111111 00111111 11111111 11011000 ");
    cab->setLocoAddress(3);
    cab->setLocoDirection(1);
    cab->setLocoSpeed(127);
    EXPECT_EQ(cab->sentPacketString(), "00000011 00111111 11111111 11000011 ");
}

TEST_F(DCCControllerTest, AnAddressChangeSendsNothingAndAModeChangeResendsTheSpeed) {
    cab->setLocoSpeed(64);
    const struct {
        std::int64_t address, mode;
        const char* text;
        Bytes packet; // the locomotive's speed packet after the mode change
    } cases[] = {
        {3, 0, "00000011 01DUSSSS EEEEEEEE", {0x03, 0x68, 0x6B}},
        {3, 2, "00000011 00111111 DSSSSSSSS EEEEEEEE", {0x03, 0x3F, 0xC1, 0xFD}},
        {259, 1, "11000001 00000011 01DSSSSS EEEEEEEE", {0xC1, 0x03, 0x60, 0xA2}},
        {10239, 2, "11100111 11111111 00111111 DSSSSSSSS EEEEEEEE", {0xE7, 0xFF, 0x3F, 0x80, 0xA7}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        const std::uint64_t before = cab->dispatcher().framesWritten();
        cab->setLocoAddress(c.address);
        EXPECT_EQ(cab->dispatcher().framesWritten(), before) << "choosing sends nothing";
        cab->setSpeedMode(c.mode);
        EXPECT_EQ(cab->speedPacketTypeString(), c.text);
        EXPECT_EQ(packetOf(entry(DCCController::speedIndex)), c.packet);
        EXPECT_EQ(entry(DCCController::speedIndex).queue, &cab->dispatcher().dispatchQueue(0));
    }
    // A mode that is none of the three is refused.
    cab->setSpeedMode(5);
    EXPECT_EQ(cab->speedMode(), 2);
}

// Each command's packet, its queue and what it does to the speed; address 3, forward, after a
// speed of 64 went out.
TEST_F(DCCControllerTest, CommandsRewriteAndQueueTheirPackets) {
    struct Case {
        const char* name;
        std::function<void(DCCController&)> press;
        std::size_t index;
        Bytes packet;
        std::int32_t priority;
        std::int64_t speedAfter;
    };
    const Case cases[] = {
        {"emergency stop",
         [](DCCController& c) { c.sendEmergencyStop(nullptr); },
         DCCController::emergencyStopIndex,
         {0x03, 0x61, 0x62},
         1,
         0},
        {"emergency stop in reverse",
         [](DCCController& c) {
             c.setLocoDirection(0);
             c.sendEmergencyStop(nullptr);
         },
         DCCController::emergencyStopIndex,
         {0x03, 0x41, 0x42},
         1,
         0},
        {"emergency stop, long address",
         [](DCCController& c) {
             c.setLocoAddress(1000);
             c.sendEmergencyStop(nullptr);
         },
         DCCController::emergencyStopIndex,
         {0xC3, 0xE8, 0x61, 0x4A},
         1,
         0},
        {"stop all",
         [](DCCController& c) { c.sendBroadcastEmergencyStop(nullptr); },
         DCCController::broadcastStopIndex,
         {0x00, 0x71, 0x71},
         1,
         0},
        {"reset",
         [](DCCController& c) { c.sendReset(nullptr); },
         DCCController::resetIndex,
         {0x00, 0x00, 0x00},
         1,
         0},
        {"idle",
         [](DCCController& c) { c.sendIdle(nullptr); },
         DCCController::idleIndex,
         {0xFF, 0x00, 0xFF},
         1,
         64},
        {"stop",
         [](DCCController& c) { c.sendStop(nullptr); },
         DCCController::speedIndex,
         {0x03, 0x60, 0x63},
         0,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cab->setLocoAddress(3);
        cab->setLocoDirection(1);
        cab->setLocoSpeed(64);
        c.press(*cab);
        const DCCMessage& message = entry(c.index);
        EXPECT_EQ(packetOf(message), c.packet);
        EXPECT_EQ(message.queue, &cab->dispatcher().dispatchQueue(c.priority));
        EXPECT_EQ(cab->locoSpeed(), c.speedAfter);
        EXPECT_EQ(cab->currentSpeedStep(), c.speedAfter == 0 ? 0 : 14);
        std::ostringstream bits;
        for (std::uint8_t byte : c.packet) {
            for (int bit = 7; bit >= 0; --bit) {
                bits << ((byte >> bit) & 1);
            }
            bits << ' ';
        }
        EXPECT_EQ(cab->sentPacketString(), bits.str());
        if (c.index != DCCController::speedIndex) {
            // Withdrawn by the stops, so that the old speed does not follow them: idle only.
            EXPECT_EQ(entry(DCCController::speedIndex).queue == nullptr, c.speedAfter == 0);
        }
    }
}

TEST_F(DCCControllerTest, DirectionAndHeadlightButtonsTellTheirState) {
    MemoryButton direction{"FORWARD"};
    MemoryButton light{"OFF"};
    int directionAnnouncements = 0;
    const Subscription watch =
        cab->addObserver("locoDirection", [&](std::string_view) { ++directionAnnouncements; });

    cab->sendDirectionChange(&direction);
    EXPECT_EQ(direction.title(), "REVERSE");
    EXPECT_EQ(cab->locoDirection(), 0);
    EXPECT_EQ(packetOf(entry(DCCController::speedIndex)), (Bytes{0x03, 0x40, 0x43}))
        << "a new direction goes out at once";
    cab->sendDirectionChange(&direction);
    EXPECT_EQ(direction.title(), "FORWARD");
    EXPECT_EQ(cab->locoDirection(), 1);
    EXPECT_EQ(packetOf(entry(DCCController::speedIndex)), (Bytes{0x03, 0x60, 0x63}));
    EXPECT_EQ(directionAnnouncements, 2);

    cab->headlight(&light);
    EXPECT_EQ(light.title(), "ON");
    EXPECT_TRUE(cab->headlightIsOn());
    EXPECT_EQ(packetOf(entry(DCCController::headlightIndex)), (Bytes{0x03, 0x90, 0x93}));
    EXPECT_EQ(cab->sentPacketString(), "00000011 10010000 10010011 ");
    cab->headlight(&light);
    EXPECT_EQ(light.title(), "OFF");
    EXPECT_EQ(packetOf(entry(DCCController::headlightIndex)), (Bytes{0x03, 0x80, 0x83}));

    // 14 steps: the light is bit 4 of the speed instruction, so the speed packet follows it.
    cab->setSpeedMode(0);
    cab->setLocoSpeed(64);
    EXPECT_EQ(packetOf(entry(DCCController::speedIndex)), (Bytes{0x03, 0x68, 0x6B}));
    cab->headlight(&light);
    EXPECT_EQ(packetOf(entry(DCCController::speedIndex)), (Bytes{0x03, 0x78, 0x7B}));
    EXPECT_EQ(entry(DCCController::speedIndex).queue, &cab->dispatcher().dispatchQueue(0));
    EXPECT_EQ(cab->sentPacketString(), "00000011 10010000 10010011 ");
    cab->sendEmergencyStop(nullptr);
    EXPECT_EQ(packetOf(entry(DCCController::emergencyStopIndex)), (Bytes{0x03, 0x71, 0x72}))
        << "the emergency stop keeps the light on too";
    // Another locomotive has a light of its own.
    cab->setLocoAddress(300);
    EXPECT_FALSE(cab->headlightIsOn());
    cab->setSpeedMode(0);
    cab->headlight(&light);
    EXPECT_EQ(packetOf(entry(DCCController::headlightIndex)), (Bytes{0xC1, 0x2C, 0x90, 0x7D}));
    EXPECT_EQ(packetOf(entry(DCCController::speedIndex)), (Bytes{0xC1, 0x2C, 0x70, 0x9D}));

    MemoryValueControl slider;
    slider.setIntegerValue(127);
    cab->sendSpeedChange(&slider);
    EXPECT_EQ(cab->currentSpeedStep(), 14);
    cab->changeSpeedBySteps(-3);
    EXPECT_EQ(cab->currentSpeedStep(), 11);
    EXPECT_EQ(cab->locoSpeed(), 100);
    cab->changeSpeedBySteps(-50);
    EXPECT_EQ(cab->locoSpeed(), 0);
}

// Each locomotive keeps what was sent to it; choosing one sends nothing and shows its own state.
TEST_F(DCCControllerTest, LocomotivesKeepTheirOwnStateAndPackets) {
    cab->setLocoAddress(5);
    cab->setLocoSpeed(127);
    cab->setFunction(1, true);
    const DCCMessage& fiveSpeed = entry(DCCController::speedIndex);
    const std::uint64_t before = frames();
    cab->setLocoAddress(7);
    EXPECT_EQ(frames(), before);
    EXPECT_EQ(cab->locoSpeed(), 0) << "a new locomotive starts stopped";
    EXPECT_EQ(cab->functions(), 0u);
    cab->changeSpeedBySteps(1);
    EXPECT_EQ(cab->currentSpeedStep(), 1) << "the Down key never starts from another's speed";
    cab->pressFunction(2); // the horn: momentary
    EXPECT_TRUE(cab->functionIsOn(2));
    cab->releaseFunction(2);
    EXPECT_FALSE(cab->functionIsOn(2));
    cab->pressFunction(5); // latching
    cab->releaseFunction(5);
    EXPECT_TRUE(cab->functionIsOn(5));
    EXPECT_EQ(packetOf(fiveSpeed), (Bytes{0x05, 0x7F, 0x7A})) << "5's packet is 5's";
    cab->setLocoAddress(5);
    EXPECT_EQ(cab->locoSpeed(), 127);
    EXPECT_EQ(cab->functions(), 0b10u);
    ASSERT_EQ(cab->locomotives().size(), 2u) << "3, shown at start and never driven, left";

    // The stops: what every locomotive then shows.
    cab->sendBroadcastEmergencyStop(nullptr);
    for (const auto& loco : cab->locomotives()) {
        EXPECT_EQ(loco->speed(), 0);
        EXPECT_TRUE(loco->isEmergencyStopped());
    }
    EXPECT_EQ(fiveSpeed.queue, nullptr);
    cab->sendEmergencyStop(nullptr);
    cab->setLocoSpeed(10);
    EXPECT_FALSE(cab->isEmergencyStopped()) << "driven again";
    EXPECT_EQ(entry(DCCController::emergencyStopIndex).queue, nullptr)
        << "an emergency stop still repeating would stop it again behind the throttle's back";
    cab->sendReset(nullptr);
    for (const auto& loco : cab->locomotives()) {
        EXPECT_EQ(loco->speed(), 0);
        EXPECT_EQ(loco->functions(), 0u);
    }
}

TEST_F(DCCControllerTest, DiagnosticsPrintTheCatalogueAndDriveTheDispatcher) {
    testing::internal::CaptureStdout();
    cab->dumpInfo(nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    const std::regex counted(R"(\n 0x[0-9a-f]+   (\d+))");
    auto counts = [&](const std::string& text) {
        std::vector<int> found;
        for (std::sregex_iterator it(text.begin(), text.end(), counted), end; it != end; ++it) {
            found.push_back(std::stoi((*it)[1]));
        }
        return found;
    };
    EXPECT_THAT(counts(out), ElementsAre(0, 0, 0, 0, 0));

    cab->sendDump(nullptr);
    EXPECT_EQ(packetOf(entry(DCCController::emergencyStopIndex)), (Bytes{0x03, 0x61, 0x62}));
    EXPECT_EQ(entry(DCCController::resetIndex).queue, &cab->dispatcher().dispatchQueue(1));
    EXPECT_EQ(entry(DCCController::broadcastStopIndex).queue, &cab->dispatcher().dispatchQueue(1));
    EXPECT_EQ(cab->sentPacketString(), "") << "the dump is no command";
    testing::internal::CaptureStdout();
    cab->dumpInfo(nullptr);
    EXPECT_THAT(counts(testing::internal::GetCapturedStdout()), ElementsAre(0, 0, 0, 0, 1));

    // The self-test drains the dispatcher, so start it from an idle one.
    port = KESSerialPort::serialPortWithKnownPath(pty.slavePath(), "ttyCAB");
    while (!cab->dispatcher().empty()) {
        cab->serialPortDidReceiveData(*port, Bytes{'O', 'K'});
    }
    testing::internal::CaptureStdout();
    cab->testDispatcher();
    out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(cab->dispatcher().empty());
    EXPECT_THAT(out, ContainsRegex("(\n init 0x[0-9a-f]+){5}\n\n SEND MESSAGE"));
    EXPECT_THAT(out, HasSubstr("\n SENT MESSAGE \n"));
    const std::size_t empty = out.find("\n Q EMPTY");
    ASSERT_NE(empty, std::string::npos);
    // Each blank record goes four times from the lower-priority queue.
    EXPECT_THAT(counts(out.substr(empty)), ElementsAre(4, 4, 4, 4, 4));
}

// The reply rules, against a real port: any non-empty UTF-8 delivery is one acknowledgement; a
// frame that went nowhere is followed at once when the port opens; no reply timer runs while the
// dispatcher is idle or the port closed. (The board's reply shapes and the timeout itself are
// the link test's.)
TEST_F(DCCControllerTest, RepliesAndTimeoutsReleaseTheNextFrame) {
    cab->setLocoSpeed(64); // no port open: the frame goes nowhere and no reply can come
    EXPECT_EQ(frames(), 1u);
    openPort();
    EXPECT_EQ(frames(), 2u) << "opening sends the next frame";
    EXPECT_EQ(pty.read(4), (Bytes{0x03, 0xFF, 0x00, 0xFF})) << "idle between two of the same";

    const std::size_t linesBefore = view.lineCount();
    const std::size_t scrolls = view.scrollRequests();
    cab->serialPortDidReceiveData(*port, Bytes{0xFF});
    cab->serialPortDidReceiveData(*port, Bytes{});
    EXPECT_EQ(frames(), 2u) << "not UTF-8, or empty: no reply";
    EXPECT_EQ(view.lineCount(), linesBefore);
    cab->serialPortDidReceiveData(*port, Bytes{0x0D});
    EXPECT_EQ(frames(), 3u);
    EXPECT_EQ(pty.read(4), (Bytes{0x03, 0x03, 0x78, 0x7B}));
    EXPECT_THAT(view.string(), testing::EndsWith("IDLE\tACKNOWLEDGE\nSENDING MESSAGE  SPEED\t"));
    EXPECT_GT(view.scrollRequests(), scrolls);

    // Idle: a delivery adds its line and sends nothing; nor does a timeout.
    while (!cab->dispatcher().empty()) {
        cab->serialPortDidReceiveData(*port, Bytes{'O', 'K'});
    }
    const std::uint64_t idle = frames();
    cab->serialPortDidReceiveData(*port, Bytes{'O', 'K'});
    queue.advanceClock(std::chrono::milliseconds(5000));
    queue.drain();
    EXPECT_EQ(frames(), idle);
    EXPECT_THAT(view.string(), testing::EndsWith("ACKNOWLEDGE\n"));

    // A closed port sends nothing on by itself: what is queued waits for the port.
    cab->headlight(nullptr);
    cab->openOrClosePort(nullptr);
    ASSERT_TRUE(queue.runUntil([&] { return !cab->portIsOpen(); }));
    const std::uint64_t closed = frames();
    queue.advanceClock(std::chrono::milliseconds(5000));
    queue.drain();
    EXPECT_EQ(frames(), closed);
}

TEST_F(DCCControllerTest, DisplayIgnoresEmptyAndInvalidText) {
    const std::string before = view.string();
    const std::size_t scrolls = view.scrollRequests();
    cab->displayMessage("");
    cab->displayMessage(std::string("\xC3\x28", 2));
    cab->displayMessage(std::string("\xED\xA0\x80", 3)); // a surrogate
    EXPECT_EQ(view.string(), before);
    EXPECT_EQ(view.scrollRequests(), scrolls);
    cab->displayMessage("Zugspitzbahn \xC3\xBC\n");
    EXPECT_THAT(view.string(), testing::EndsWith("Zugspitzbahn \xC3\xBC\n"));
    EXPECT_EQ(view.scrollRequests(), scrolls + 1);
}

} // namespace

#include "KESSerialPortDemoController.h"

#include "BackgroundThreads.h"
#include "KESSerialPort.h"
#include "MemoryButton.h"
#include "MemoryTextField.h"
#include "MemoryTextView.h"
#include "NotificationCenter.h"
#include "PseudoTerminalPair.h"
#include "RecordingLog.h"
#include "TestDesktopNotifier.h"
#include "TestDeviceEvents.h"
#include "TestDeviceRegistry.h"
#include "TestMainQueue.h"

#include <array>
#include <cerrno>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

namespace {

class TestManager : public KESSerialPortManager {};

// The panel with in-memory controls, on the test's own manager, registry and device source; the
// devices are pseudo-terminals whose far ends the test plays.
class KESSerialPortDemoControllerTest : public testing::Test {
protected:
    void SetUp() override { MainQueue::setShared(&queue); }

    void TearDown() override {
        controller.reset();
        for (const auto& port : KESSerialPort::allSerialPorts()) {
            port->setDelegate(nullptr);
            port->close();
        }
        manager.reset();
        ASSERT_TRUE(queue.runUntil([] { return BackgroundThreads::shared().running() == 0; }));
        MainQueue::setShared(nullptr);
    }

    // Adapter i, on pseudo-terminal line (i unless given): its by-id link names the adapter,
    // its node the line.
    DeviceHandle plugIn(std::size_t adapter, std::optional<std::size_t> line = std::nullopt) {
        const std::size_t pty = line.value_or(adapter);
        devices[adapter] = registry.addDevice(
            ptys[pty].slavePath(), "/dev/serial/by-id/usb-Test_" + std::to_string(adapter),
            "ttyTEST" + std::to_string(pty));
        return devices[adapter];
    }

    void start(std::size_t deviceCount) {
        for (std::size_t i = 0; i < deviceCount; ++i) {
            plugIn(i);
        }
        manager = std::make_unique<TestManager>();
        observersBefore = NotificationCenter::defaultCenter().observerCount();
        controller = std::make_unique<KESSerialPortDemoController>(*manager);
        controller->setSendTextField(&field);
        controller->setReceivedDataTextView(&view);
        controller->setOpenCloseButton(&button);
    }

    std::shared_ptr<KESSerialPort> listed(std::size_t i) {
        return manager->objectInAvailablePortsAtIndex(i);
    }

    void openChosen() {
        controller->openOrClosePort(nullptr);
        EXPECT_EQ(button.title(), "Open") << "retitled only on the port's report";
        ASSERT_TRUE(queue.runUntil([&] { return button.title() == "Close"; }));
    }

    std::vector<std::string> linesWith(const std::string& text) const {
        std::vector<std::string> found;
        for (const auto& line : log.lines()) {
            if (line.find(text) != std::string::npos) {
                found.push_back(line);
            }
        }
        return found;
    }

    TestMainQueue queue;
    TestDeviceRegistry registry;
    TestDeviceEvents events;
    RecordingLog log;
    TestDesktopNotifier desktop;
    std::array<PseudoTerminalPair, 3> ptys;
    std::array<DeviceHandle, 2> devices;
    MemoryTextField field;
    MemoryTextView view;
    MemoryButton button{"Open"};
    std::size_t observersBefore = 0;
    std::unique_ptr<KESSerialPortManager> manager;
    std::unique_ptr<KESSerialPortDemoController> controller;
};

TEST_F(KESSerialPortDemoControllerTest, StartsWithTheRatesAndLogsNothingUntilTheListChanges) {
    start(1);
    EXPECT_THAT(controller->availableBaudRates(),
                ElementsAre(300, 1200, 2400, 4800, 9600, 14400, 19200, 28800, 38400, 57600, 115200,
                            230400));
    EXPECT_EQ(controller->serialPortManager(), manager.get());
    EXPECT_EQ(view.maximumLineCount(), 10000u);
    EXPECT_EQ(controller->statusText(), "No port chosen");
    EXPECT_THAT(log.lines(), IsEmpty());

    // Without a port chosen the actions do nothing.
    field.setStringValue("abc");
    controller->send(nullptr);
    controller->openOrClosePort(nullptr);
    EXPECT_EQ(button.title(), "Open");
    EXPECT_FALSE(listed(0)->isOpen());
}

TEST_F(KESSerialPortDemoControllerTest, ChoosingOpeningSendingAndChoosingAnother) {
    start(2);
    const auto first = listed(0);
    const auto second = listed(1);
    controller->setSerialPort(first);
    EXPECT_EQ(first->delegate(), controller.get());
    openChosen();
    EXPECT_EQ(controller->statusText(), "ttyTEST0 is open at 38400 bit/s");
    first->setBaudRate(115200);
    EXPECT_EQ(controller->statusText(), "ttyTEST0 is open at 115200 bit/s");

    field.setStringValue("abc\xC3\xA9");
    controller->send(nullptr);
    EXPECT_EQ(ptys[0].read(5), Bytes({'a', 'b', 'c', 0xC3, 0xA9})) << "raw, no line ending";
    EXPECT_EQ(field.stringValue(), "abc\xC3\xA9") << "the field is not cleared";

    controller->setSerialPort(first);
    EXPECT_TRUE(first->isOpen()) << "choosing the chosen port again keeps it open";

    controller->setSerialPort(second);
    EXPECT_FALSE(first->isOpen());
    EXPECT_EQ(first->delegate(), nullptr);
    EXPECT_EQ(second->delegate(), controller.get());
    EXPECT_EQ(button.title(), "Open");
    EXPECT_EQ(controller->statusText(), "ttyTEST1 is closed");
}

TEST_F(KESSerialPortDemoControllerTest, ReceivedChunksJoinWithoutLossOrSeparators) {
    start(1);
    controller->setSerialPort(listed(0));
    openChosen();
    ptys[0].write({'a', 'b', 'c'});
    ASSERT_TRUE(queue.runUntil([&] { return view.string() == "abc"; }));
    for (const Bytes& chunk : {Bytes{'d', 'e', 'f'}, Bytes{}, Bytes{0xC3}, Bytes{0xA9, 0xFF}}) {
        controller->serialPortDidReceiveData(*listed(0), chunk);
    }
    EXPECT_EQ(view.string(), "abcdef\xC3\xA9\xEF\xBF\xBD");
    EXPECT_EQ(view.scrollRequests(), 0u) << "the panel does not scroll";
}

TEST_F(KESSerialPortDemoControllerTest, ErrorsAreLoggedAndSaidInWordsThatSayWhatToDo) {
    start(1);
    controller->setSerialPort(listed(0));
    const struct {
        int code;
        const char* words;
    } cases[] = {
        {EBUSY, "ttyTEST0 is in use by another program; close it and try again"},
        {EWOULDBLOCK, "ttyTEST0 is in use by another program; close it and try again"},
        {EACCES, "No permission to use ttyTEST0: add your user to the 'dialout' group and log in "
                 "again"},
        {EIO, "ttyTEST0 has gone: it was unplugged or its line hung up"},
        {EINVAL, "ttyTEST0 does not take these settings (38400 bit/s); choose another rate"},
    };
    for (const auto& c : cases) {
        controller->serialPortDidEncounterError(*listed(0), PosixError(c.code, "/dev/x"));
        EXPECT_EQ(controller->statusText(), std::string("ttyTEST0 is closed. ") + c.words);
    }
    EXPECT_EQ(linesWith("Serial port ttyTEST0 encountered an error: ").size(), std::size(cases));
}

struct ReplugCase {
    const char* what;
    bool reconnects;
    bool open;
    bool chosenAgain;
    bool reopened;
};

class ReplugTest : public KESSerialPortDemoControllerTest,
                   public testing::WithParamInterface<ReplugCase> {};

TEST_P(ReplugTest, TheChosenPortIsLetGoWhenUnpluggedAndTakenBackWhenItReturns) {
    const ReplugCase& c = GetParam();
    start(1);
    controller->setReconnectsAfterReplug(c.reconnects);
    controller->setSerialPort(listed(0));
    listed(0)->setBaudRate(115200);
    if (c.open) {
        openChosen();
    }

    ptys[0].closeMaster(); // the adapter goes: its line hangs up, then the device leaves
    registry.removeDevice(devices[0]);
    events.terminate({devices[0]});
    queue.drain();
    EXPECT_EQ(controller->serialPort(), nullptr);
    EXPECT_EQ(button.title(), "Open");
    EXPECT_THAT(controller->statusText(), HasSubstr("ttyTEST0 was unplugged"));

    events.publish({plugIn(0, 2)}); // the same adapter back, on another node
    ASSERT_TRUE(queue.runUntil([&] { return !c.reopened || button.title() == "Close"; }));
    queue.drain();
    EXPECT_EQ(controller->serialPort() != nullptr, c.chosenAgain) << c.what;
    if (c.chosenAgain) {
        EXPECT_EQ(controller->serialPort(), listed(0)) << c.what;
        EXPECT_EQ(controller->serialPort()->baudRate(), 115200u) << c.what;
        EXPECT_EQ(controller->serialPort()->isOpen(), c.reopened) << c.what;
    }
    if (c.reopened) {
        EXPECT_EQ(controller->statusText(),
                  "ttyTEST2 is open at 115200 bit/s, opened again after it was plugged back in");
    }
}

INSTANTIATE_TEST_SUITE_P(Replug, ReplugTest,
                         testing::Values(ReplugCase{"open", true, true, true, true},
                                         ReplugCase{"closed", true, false, true, false},
                                         ReplugCase{"reconnecting off", false, true, false,
                                                    false}));

TEST_F(KESSerialPortDemoControllerTest,
       ArrivalsAndRemovalsBecomeDesktopNotificationsWithdrawnLater) {
    start(0);
    controller->setNotificationLifetime(std::chrono::milliseconds(3000));
    events.publish({plugIn(0), plugIn(1)});
    queue.drain();
    EXPECT_THAT(linesWith("Ports were connected: "),
                ElementsAre("Ports were connected: (ttyTEST0, ttyTEST1)"));
    const auto listChange =
        linesWith("-[KESSerialPortDemoController observeValueForKeyPath:ofObject:change:context:] "
                  "<KESSerialPortManager: ");
    ASSERT_EQ(listChange.size(), 1u);
    EXPECT_THAT(listChange[0], testing::EndsWith("> availablePorts"));
    EXPECT_THAT(linesWith("Change dictionary: "),
                ElementsAre("Change dictionary: {indexes = (0, 1); kind = 2; new = (ttyTEST0, "
                            "ttyTEST1)}"));
    ASSERT_EQ(desktop.delivered().size(), 2u);
    EXPECT_EQ(desktop.delivered()[0].title, "Serial Port Connected");
    EXPECT_EQ(desktop.delivered()[0].informativeText,
              "Serial Port ttyTEST0 was connected to this computer.");
    EXPECT_EQ(desktop.delivered()[1].informativeText,
              "Serial Port ttyTEST1 was connected to this computer.");
    EXPECT_FALSE(desktop.delivered()[0].soundName);

    queue.advanceClock(std::chrono::milliseconds(2999));
    queue.drain();
    EXPECT_THAT(desktop.removed(), IsEmpty());
    queue.advanceClock(std::chrono::milliseconds(1));
    queue.drain();
    EXPECT_THAT(desktop.removed(), ElementsAre(1u, 2u));

    events.terminate({devices[1]});
    queue.drain();
    EXPECT_THAT(linesWith("Ports were disconnected: "),
                ElementsAre("Ports were disconnected: (ttyTEST1)"));
    ASSERT_EQ(desktop.delivered().size(), 3u);
    EXPECT_EQ(desktop.delivered()[2].title, "Serial Port Disconnected");
    EXPECT_EQ(desktop.delivered()[2].informativeText,
              "Serial Port ttyTEST1 was disconnected from this computer.");

    // An arrival that added nothing is logged and shows nothing.
    NotificationCenter::defaultCenter().postNotificationName(
        KESSerialPortsWereConnectedNotification, manager.get(),
        {{KESConnectedSerialPortsKey, KESSerialPortManager::PortList{}}});
    EXPECT_EQ(linesWith("Ports were connected: ()").size(), 1u);
    EXPECT_EQ(desktop.delivered().size(), 3u);
}

TEST_F(KESSerialPortDemoControllerTest, TeardownLeavesNothingBehindThatCouldCallIt) {
    start(1);
    const auto port = listed(0);
    controller->setSerialPort(port);
    events.publish({plugIn(1)});
    queue.drain(); // a withdrawal is pending
    ASSERT_EQ(desktop.delegate(), controller.get());
    controller.reset();

    EXPECT_EQ(port->delegate(), nullptr);
    EXPECT_EQ(desktop.delegate(), nullptr);
    EXPECT_EQ(NotificationCenter::defaultCenter().observerCount(), observersBefore);
    const std::size_t linesBefore = log.lines().size();
    events.terminate({devices[1]});
    queue.advanceClock(std::chrono::seconds(5));
    queue.drain();
    EXPECT_EQ(log.lines().size(), linesBefore) << "no list observer left";
    EXPECT_THAT(desktop.removed(), IsEmpty()) << "no withdrawal ran for a controller gone";
}

} // namespace

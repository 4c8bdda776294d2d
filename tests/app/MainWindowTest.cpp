#include "MainWindow.h"

#include "BackgroundThreads.h"
#include "BuiltInStation.h"
#include "DCCCabApplication.h"
#include "DCCController.h"
#include "HBAppDelegate.h"
#include "KESSerialPort.h"
#include "KESSerialPortManager.h"
#include "PseudoTerminalPair.h"
#include "QtButton.h"
#include "QtMainQueue.h"
#include "QtTextField.h"
#include "QtTextView.h"
#include "RecordingLog.h"
#include "TestDeviceEvents.h"
#include "TestDeviceRegistry.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <array>
#include <functional>
#include <gtest/gtest.h>
#include <ostream>

namespace {

// Types text into widget key by key, as a keyboard would (QTest::keyClicks takes ASCII only).
void typeText(QWidget& widget, const QString& text) {
    for (const QChar character : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(character));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(character));
        QApplication::sendEvent(&widget, &press);
        QApplication::sendEvent(&widget, &release);
    }
}

// Chooses the item at index from box's pop-up list, as the operator does: the list opens, the
// item is made current and Return takes it (QComboBox::activated).
void choose(QComboBox& box, int index) {
    box.showPopup();
    QAbstractItemView& list = *box.view();
    list.setCurrentIndex(box.model()->index(index, 0));
    QTest::keyClick(&list, Qt::Key_Return);
}

// A manager of the test's own, listing the test registry's devices.
class TestManager : public KESSerialPortManager {};

// The window as the program makes it, on a manager that lists two pseudo-terminals (ttyTEST0 and
// ttyTEST1), served by Qt's event loop.
class MainWindowTest : public testing::Test {
protected:
    MainWindowTest() {
        MainQueue::setShared(&queue);
        for (std::size_t i = 0; i < ptys.size(); ++i) {
            registry.addDevice(ptys[i].slavePath(), "", "ttyTEST" + std::to_string(i));
        }
        manager = std::make_unique<TestManager>();
        controller = std::make_unique<DCCController>(*manager);
        window = std::make_unique<MainWindow>(*controller);
        controller->awakeFromNib();
        window->show();
    }

    ~MainWindowTest() override {
        window.reset();
        for (const auto& port : KESSerialPort::allSerialPorts()) {
            port->close();
        }
        controller.reset();
        manager.reset();
        EXPECT_TRUE(QTest::qWaitFor([] {
            BackgroundThreads::shared().reapFinished();
            return BackgroundThreads::shared().running() == 0;
        }));
        MainQueue::setShared(nullptr);
    }

    template <typename Widget>
    Widget& widget(const char* name) {
        auto* found = window->findChild<Widget*>(name);
        EXPECT_NE(found, nullptr) << name;
        return *found;
    }

    std::shared_ptr<KESSerialPort> listed(std::size_t index) {
        return manager->objectInAvailablePortsAtIndex(index);
    }

    QtMainQueue queue{*QCoreApplication::instance()};
    RecordingLog log;
    TestDeviceRegistry registry;
    TestDeviceEvents events;
    std::array<PseudoTerminalPair, 2> ptys;
    std::unique_ptr<TestManager> manager;
    std::unique_ptr<DCCController> controller;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, BuildsFromItsUiFileWithEveryOutletOnItsControl) {
    auto* field = dynamic_cast<QtTextField*>(controller->sendTextField());
    auto* view = dynamic_cast<QtTextView*>(controller->receivedDataTextView());
    auto* button = dynamic_cast<QtButton*>(controller->openCloseButton());
    ASSERT_NE(field, nullptr);
    ASSERT_NE(view, nullptr);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(&field->edit(), &widget<QLineEdit>("sendTextField"));
    EXPECT_EQ(&view->edit(), &widget<QPlainTextEdit>("receivedDataTextView"));
    EXPECT_EQ(&button->button(), &widget<QPushButton>("openCloseButton"));
    EXPECT_EQ(button->title(), "Open");
    auto* modes = dynamic_cast<QtPopUpButton*>(controller->addressModeButton());
    ASSERT_NE(modes, nullptr);
    EXPECT_EQ(&modes->box(), &widget<QComboBox>("modeChooser"));
    EXPECT_EQ(modes->indexOfSelectedItem(), 1) << "28 steps, the cab's start";
    EXPECT_EQ(view->maximumLineCount(), KESSerialPortDemoController::defaultScrollbackLines);

    auto& ports = widget<QComboBox>("portChooser");
    ASSERT_EQ(ports.count(), 2);
    EXPECT_EQ(ports.itemText(1), "ttyTEST1");
    EXPECT_EQ(ports.currentIndex(), -1) << "no port chosen yet";
    auto& rates = widget<QComboBox>("baudRateChooser");
    ASSERT_EQ(static_cast<std::size_t>(rates.count()), controller->availableBaudRates().size());
    EXPECT_EQ(rates.itemText(0), "300");
    EXPECT_EQ(rates.itemText(rates.count() - 1), "230400");
    EXPECT_EQ(widget<QLabel>("statusLine").text().toStdString(), controller->statusText());

    const std::map<std::string, QKeySequence> shortcuts{
        {"openCloseAction", QKeySequence("Ctrl+O")},
        {"clearReceivedAction", QKeySequence("Ctrl+L")},
        {"quitAction", QKeySequence("Ctrl+Q")}};
    for (const auto& [name, keys] : shortcuts) {
        EXPECT_EQ(widget<QAction>(name.c_str()).shortcut(), keys) << name;
    }
    auto& reconnect = widget<QAction>("reconnectAction");
    EXPECT_TRUE(reconnect.isChecked());
    reconnect.trigger();
    EXPECT_FALSE(controller->reconnectsAfterReplug());
    controller->setReconnectsAfterReplug(true);
    EXPECT_TRUE(reconnect.isChecked());

    // It fits a 1366x768 laptop screen with room for the desktop's panels, and can be resized.
    EXPECT_LE(window->width(), 1366);
    EXPECT_LE(window->height(), 700);
    EXPECT_LE(window->minimumSizeHint().height(), 500);
    EXPECT_NE(window->minimumSize(), window->maximumSize());

    window.reset();
    EXPECT_EQ(controller->sendTextField(), nullptr);
    EXPECT_EQ(controller->receivedDataTextView(), nullptr);
    EXPECT_EQ(controller->openCloseButton(), nullptr);
    EXPECT_EQ(controller->addressModeButton(), nullptr);
}

TEST_F(MainWindowTest, ChoosesOpensAndSendsWhatIsTypedAsTheOperatorWould) {
    auto& ports = widget<QComboBox>("portChooser");
    auto& rates = widget<QComboBox>("baudRateChooser");
    auto& button = widget<QPushButton>("openCloseButton");
    auto& field = widget<QLineEdit>("sendTextField");
    auto& view = widget<QPlainTextEdit>("receivedDataTextView");

    choose(ports, 0);
    ASSERT_EQ(controller->serialPort(), listed(0));
    EXPECT_EQ(rates.currentText(), "38400") << "the chosen port's rate";

    // A rate not in the list, typed; what is not a digit does not get in.
    rates.lineEdit()->selectAll();
    QTest::keyClicks(rates.lineEdit(), "2500x00");
    QTest::keyClick(rates.lineEdit(), Qt::Key_Return);
    EXPECT_EQ(listed(0)->baudRate(), 250000u);

    QTest::mouseClick(&button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return button.text() == "Close"; }));
    EXPECT_TRUE(listed(0)->isOpen());

    typeText(field, QString::fromUtf8("héllo"));
    QTest::keyClick(&field, Qt::Key_Return);
    EXPECT_EQ(ptys[0].read(6), Bytes({'h', 0xc3, 0xa9, 'l', 'l', 'o'}));
    EXPECT_FALSE(ptys[0].hasData()) << "exactly the typed bytes, no line ending";

    // The cab shows a reply from the board as its acknowledgement, not as the bytes.
    widget<QAction>("clearReceivedAction").trigger();
    ptys[0].write({'O', 'K', ' ', '1', '\n'});
    ASSERT_TRUE(QTest::qWaitFor([&] { return view.toPlainText() == "ACKNOWLEDGE\n"; }));
    widget<QAction>("clearReceivedAction").trigger();
    EXPECT_EQ(view.toPlainText(), "");

    // Choosing the other port closes this one; the rate shown is the new port's.
    choose(ports, 1);
    EXPECT_EQ(controller->serialPort(), listed(1));
    EXPECT_FALSE(listed(0)->isOpen());
    EXPECT_EQ(button.text(), "Open");
    EXPECT_EQ(rates.currentText(), "38400");
}

// What the throttle shows and what the cab holds, to compare before and after a key or a click.
struct Throttle {
    std::int64_t address;
    std::int64_t mode;
    std::int64_t speed;
    std::int64_t step;
    std::int64_t direction;
    bool headlight;
    std::string sent;
    std::string directionTitle;
    std::string headlightTitle;
    int slider;
    int addressBox;

    bool operator==(const Throttle&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Throttle& t) {
        return out << "address " << t.address << " mode " << t.mode << " speed " << t.speed
                   << " step " << t.step << " direction " << t.direction << " light " << t.headlight
                   << " sent '" << t.sent << "' titles " << t.directionTitle << "/"
                   << t.headlightTitle << " slider " << t.slider << " box " << t.addressBox;
    }
};

class ThrottleWindowTest : public MainWindowTest {
protected:
    Throttle throttle() {
        return {controller->locoAddress(),
                controller->speedMode(),
                controller->locoSpeed(),
                controller->currentSpeedStep(),
                controller->locoDirection(),
                controller->headlightIsOn(),
                controller->sentPacketString(),
                widget<QPushButton>("directionButton").text().toStdString(),
                widget<QPushButton>("headlightButton").text().toStdString(),
                widget<QSlider>("speedSlider").value(),
                widget<QSpinBox>("addressSpinBox").value()};
    }
    std::string text(const char* label) { return widget<QLabel>(label).text().toStdString(); }
};

TEST_F(ThrottleWindowTest, ControlsReachTheCabAndFollowWhatItAnnounces) {
    EXPECT_EQ(text("speedPacketLabel"), "Speed packet: 00000011 01DSSSSS EEEEEEEE");
    EXPECT_EQ(text("sentPacketLabel"), "Last packet: none yet");
    EXPECT_EQ(text("speedStepLabel"), "Step 0 of 28");

    auto& slider = widget<QSlider>("speedSlider");
    slider.setValue(64); // as a drag does
    EXPECT_EQ(controller->locoSpeed(), 64);
    EXPECT_EQ(text("speedStepLabel"), "Step 14 of 28");
    EXPECT_EQ(text("sentPacketLabel"), "Last packet: 00000011 01111000 01111011");

    auto& box = widget<QSpinBox>("addressSpinBox");
    box.selectAll();
    QTest::keyClicks(&box, "130");
    EXPECT_EQ(controller->locoAddress(), 3) << "no address before it is confirmed";
    QTest::keyClick(&box, Qt::Key_Return);
    EXPECT_EQ(controller->locoAddress(), 130);
    EXPECT_EQ(text("speedPacketLabel"), "Speed packet: 11000000 10000010 01DSSSSS EEEEEEEE");

    choose(widget<QComboBox>("modeChooser"), 2);
    EXPECT_EQ(controller->speedMode(), 2);
    EXPECT_EQ(text("speedPacketLabel"),
              "Speed packet: 11000000 10000010 00111111 DSSSSSSSS EEEEEEEE");
    EXPECT_EQ(text("speedStepLabel"), "Step 14 of 126") << "the step stays until the next speed";

    // What the cab announces shows, and sends nothing back: one announcement per change.
    int speedAnnouncements = 0;
    const Subscription counting =
        controller->addObserver("locoSpeed", [&](std::string_view) { ++speedAnnouncements; });
    controller->setLocoSpeed(127);
    EXPECT_EQ(speedAnnouncements, 1);
    EXPECT_EQ(slider.value(), 127);
    EXPECT_EQ(text("speedStepLabel"), "Step 126 of 126");
    controller->setSpeedMode(0);
    EXPECT_EQ(widget<QComboBox>("modeChooser").currentIndex(), 0);
    controller->setLocoAddress(77);
    EXPECT_EQ(box.value(), 77);
    EXPECT_EQ(widget<QLabel>("trackLabel").text(),
              "Track: not connected - commands wait until the port is open");
    controller->setPortIsOpen(true);
    EXPECT_EQ(widget<QLabel>("trackLabel").text(), "Track: connected");
    controller->setPortIsOpen(false);
}

TEST_F(ThrottleWindowTest, ARefusedAddressSnapsBackToTheOneInForce) {
    auto& box = widget<QSpinBox>("addressSpinBox");
    box.selectAll();
    QTest::keyClicks(&box, "0");
    QTest::keyClick(&box, Qt::Key_Return);
    EXPECT_EQ(controller->locoAddress(), 3);
    EXPECT_EQ(box.value(), 3);
    EXPECT_EQ(box.text(), "3");

    // Refused by the cab: the box shows the address in force, the status line why.
    {
        const QSignalBlocker quiet(box);
        box.setValue(500); // what the box may hold while the operator edits
    }
    EXPECT_FALSE(controller->setLocoAddress(20000));
    EXPECT_EQ(box.value(), 3);
    EXPECT_NE(text("statusLine").find("20000"), std::string::npos) << text("statusLine");
}

struct CommandButton {
    const char* name;
    const char* sent;         // sentPacketString after a click; null: left as it was
    const char* keyInTooltip; // null: the button has no key
};

TEST_F(ThrottleWindowTest, EachCommandButtonSendsItsPacketAndItsTooltipNamesItsKey) {
    const std::vector<CommandButton> buttons{
        {"stopButton", "00000011 01100000 01100011 ", "(Space)"},
        {"emergencyStopButton", "00000011 01100001 01100010 ", "(Esc)"},
        {"stopAllButton", "00000000 01110001 01110001 ", nullptr},
        {"idleButton", "11111111 00000000 11111111 ", nullptr},
        {"resetButton", "00000000 00000000 00000000 ", nullptr},
        {"headlightButton", "00000011 10010000 10010011 ", "(L)"},
        {"directionButton", nullptr, "(D)"},
        {"dumpButton", nullptr, nullptr},
        {"infoButton", nullptr, nullptr},
    };
    for (const CommandButton& button : buttons) {
        controller->setSentPacketString("before");
        auto& pushButton = widget<QPushButton>(button.name);
        QTest::mouseClick(&pushButton, Qt::LeftButton);
        EXPECT_EQ(controller->sentPacketString(), button.sent ? button.sent : "before")
            << button.name;
        if (button.keyInTooltip != nullptr) {
            EXPECT_TRUE(pushButton.toolTip().contains(button.keyInTooltip)) << button.name;
        }
    }
    EXPECT_EQ(widget<QPushButton>("directionButton").text(), "REVERSE");
    EXPECT_EQ(widget<QPushButton>("headlightButton").text(), "ON");
    EXPECT_TRUE(widget<QSlider>("speedSlider").toolTip().contains("Page Up"));
}

struct KeyCase {
    Qt::Key key;
    const char* typed; // what the send field shows after the key
    std::function<void(Throttle&)> effect;
};

TEST_F(ThrottleWindowTest, KeysDriveTheThrottleWhereverTheFocusIsButTypeInTheSendField) {
    // From speed 64 (step 14 of 28), forward, light off, address 3. Speeds are where the steps
    // begin: 15 at 69, 13 at 59, 18 at 82, 10 at 46.
    auto speed = [](std::int64_t value, std::int64_t step, const char* packet) {
        return [=](Throttle& t) {
            t.speed = value;
            t.step = step;
            t.slider = static_cast<int>(value);
            t.sent = packet;
        };
    };
    const std::vector<KeyCase> keys{
        {Qt::Key_Space, " ", speed(0, 0, "00000011 01100000 01100011 ")},
        {Qt::Key_Escape, "", speed(0, 0, "00000011 01100001 01100010 ")},
        {Qt::Key_Up, "", speed(69, 15, "00000011 01101001 01101010 ")},
        {Qt::Key_Down, "", speed(59, 13, "00000011 01101000 01101011 ")},
        {Qt::Key_PageUp, "", speed(82, 18, "00000011 01111010 01111001 ")},
        {Qt::Key_PageDown, "", speed(46, 10, "00000011 01110110 01110101 ")},
        {Qt::Key_D, "d",
         [](Throttle& t) {
             t.direction = 0;
             t.directionTitle = "REVERSE";
         }},
        {Qt::Key_L, "l",
         [](Throttle& t) {
             t.headlight = true;
             t.headlightTitle = "ON";
             t.sent = "00000011 10010000 10010011 ";
         }},
    };
    // A button's Space, the slider's and the spin box's arrows, the view's paging and the
    // chooser's letters would each add their own effect if they saw the key.
    const std::vector<const char*> focused{"speedSlider",          "addressSpinBox",
                                           "receivedDataTextView", "headlightButton",
                                           "modeChooser",          "sendTextField"};
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    auto& field = widget<QLineEdit>("sendTextField");
    for (const char* name : focused) {
        for (const KeyCase& key : keys) {
            if (controller->locoDirection() != 1) {
                QTest::mouseClick(&widget<QPushButton>("directionButton"), Qt::LeftButton);
            }
            if (controller->headlightIsOn()) {
                QTest::mouseClick(&widget<QPushButton>("headlightButton"), Qt::LeftButton);
            }
            controller->setLocoSpeed(64);
            field.clear();
            auto& target = widget<QWidget>(name);
            target.setFocus(Qt::TabFocusReason);
            ASSERT_EQ(QApplication::focusWidget(), &target) << name;

            Throttle expected = throttle();
            const bool typing = target.objectName() == "sendTextField";
            if (!typing || key.key == Qt::Key_Escape) {
                key.effect(expected);
            }
            QTest::keyClick(&target, key.key);
            EXPECT_EQ(throttle(), expected)
                << name << " key " << QKeySequence(key.key).toString().toStdString();
            EXPECT_EQ(field.text().toStdString(), typing ? key.typed : "")
                << name << " key " << QKeySequence(key.key).toString().toStdString();
        }
    }
}

TEST_F(ThrottleWindowTest, TheHeadlightButtonPutsItsFrameOnTheWire) {
    choose(widget<QComboBox>("portChooser"), 0);
    auto& open = widget<QPushButton>("openCloseButton");
    QTest::mouseClick(&open, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->portIsOpen(); }));
    EXPECT_EQ(text("trackLabel"), "Track: connected");
    EXPECT_FALSE(ptys[0].hasData()) << "opening sends nothing";

    QTest::mouseClick(&widget<QPushButton>("headlightButton"), Qt::LeftButton);
    EXPECT_EQ(ptys[0].read(4), Bytes({0x03, 0x03, 0x90, 0x93}));
    EXPECT_EQ(widget<QPushButton>("headlightButton").text(), "ON");
    EXPECT_EQ(text("sentPacketLabel"), "Last packet: 00000011 10010000 10010011");
}

// The built-in station is offered after the machine's ports; choosing it and driving shows, from
// the board's own reading of the frames, what the locomotive on the simulated track does.
TEST_F(ThrottleWindowTest, TheSimulatedStationShowsTheLocomotiveAsTheBoardDecodesIt) {
    BuiltInStation station;
    window = std::make_unique<MainWindow>(*controller, &station);
    window->show();
    auto& chooser = widget<QComboBox>("portChooser");
    ASSERT_EQ(chooser.count(), 3);
    EXPECT_EQ(chooser.itemText(2), "Simulated command station");
    EXPECT_FALSE(widget<QWidget>("simulatedTrackBox").isVisible());

    choose(chooser, 2);
    ASSERT_TRUE(station.isRunning());
    EXPECT_EQ(controller->serialPort(), station.port());
    EXPECT_EQ(manager->countOfAvailablePorts(), 2U) << "the machine's list stays as it is";
    EXPECT_TRUE(widget<QWidget>("simulatedTrackBox").isVisible());
    QTest::mouseClick(&widget<QPushButton>("openCloseButton"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->portIsOpen(); }));

    widget<QSlider>("speedSlider").setValue(64);
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return text("simulatedTrackLabel").find("loco 3: step 14 of 28, forward") !=
               std::string::npos;
    })) << text("simulatedTrackLabel");

    choose(chooser, 0);
    EXPECT_FALSE(widget<QWidget>("simulatedTrackBox").isVisible());
    window.reset();
}

TEST_F(MainWindowTest, QuittingClosesEveryListedPortAndTheFarEndsSeeTheHangUp) {
    const KESSerialPortManager::PortList ports = *manager->availablePorts();
    for (std::size_t i = 0; i < ptys.size(); ++i) {
        ptys[i].closeSlave();
        ports[i]->open();
        ASSERT_TRUE(ports[i]->isOpen());
        ASSERT_FALSE(ptys[i].masterSeesHangUp());
    }
    controller->setSerialPort(ports[1]);
    HBAppDelegate delegate(manager.get());
    delegate.setWindow(window.get());
    const QMetaObject::Connection willTerminate =
        DCCCabApplication::deliverWillTerminate(*QCoreApplication::instance(), delegate);

    // Ctrl+Q, as the menu delivers it, ends the event loop; will-terminate runs before exec
    // returns.
    QTimer::singleShot(0, &widget<QAction>("quitAction"), &QAction::trigger);
    QApplication::exec();
    QObject::disconnect(willTerminate);

    for (std::size_t i = 0; i < ptys.size(); ++i) {
        EXPECT_FALSE(ports[i]->isOpen()) << i;
        EXPECT_TRUE(ptys[i].masterSeesHangUp()) << i;
    }
    EXPECT_FALSE(manager->availablePorts()) << "the manager heard will-terminate too";
    EXPECT_EQ(widget<QPushButton>("openCloseButton").text(), "Open");
}

TEST(HBAppDelegateTest, ClosesEveryListedPortAndNothingWithoutAList) {
    QtMainQueue queue(*QCoreApplication::instance());
    MainQueue::setShared(&queue);
    const RecordingLog log;
    const TestDeviceRegistry registry;
    const TestDeviceEvents events;
    std::array<PseudoTerminalPair, 2> ptys;
    TestManager manager;
    for (auto& pty : ptys) {
        pty.closeSlave();
        auto port = KESSerialPort::serialPortWithKnownPath(pty.slavePath(), "pty");
        manager.insertObjectInAvailablePortsAtIndex(port, manager.countOfAvailablePorts());
        port->open();
    }
    const auto ports = *manager.availablePorts();

    HBAppDelegate delegate(&manager);
    delegate.applicationWillTerminate();
    for (std::size_t i = 0; i < ptys.size(); ++i) {
        EXPECT_FALSE(ports[i]->isOpen()) << i;
        EXPECT_TRUE(ptys[i].masterSeesHangUp()) << i;
    }
    EXPECT_EQ(manager.availablePorts()->size(), 2u) << "the list is the manager's business";

    manager.setAvailablePorts(std::nullopt);
    ports[0]->open();
    delegate.applicationWillTerminate();
    EXPECT_TRUE(ports[0]->isOpen()) << "no list, nothing closed";
    ports[0]->close();
    EXPECT_TRUE(QTest::qWaitFor([] {
        BackgroundThreads::shared().reapFinished();
        return BackgroundThreads::shared().running() == 0;
    }));
    MainQueue::setShared(nullptr);
}

struct Identity {
    std::map<std::string, std::string> properties;
    const char* title;
};

TEST(MainWindowPortTitleTest, NamesThePortThenItsMakerAndModelPreferringTheDatabase) {
    const std::vector<Identity> identities{
        {{}, "ttyUSB0"},
        {{{"ID_VENDOR", "FTDI"}, {"ID_MODEL", "FT232R_USB_UART"}},
         "ttyUSB0 — FTDI FT232R USB UART"},
        {{{"ID_VENDOR", "1a86"},
          {"ID_VENDOR_FROM_DATABASE", "QinHeng Electronics"},
          {"ID_MODEL", "USB_Serial"},
          {"ID_MODEL_FROM_DATABASE", "CH340 serial converter"}},
         "ttyUSB0 — QinHeng Electronics CH340 serial converter"},
        {{{"ID_MODEL", "Arduino_Uno"}}, "ttyUSB0 — Arduino Uno"},
    };
    for (const Identity& identity : identities) {
        SerialDevice::Properties properties = identity.properties;
        properties[SerialDevice::calloutDeviceKey] = "/dev/ttyUSB0";
        properties[SerialDevice::ttyDeviceKey] = "ttyUSB0";
        const auto port = KESSerialPort::serialPortWithDevice(
            std::make_shared<const SerialDevice>(std::move(properties)));
        EXPECT_EQ(MainWindow::titleOfPort(*port).toStdString(), identity.title);
    }
}

} // namespace

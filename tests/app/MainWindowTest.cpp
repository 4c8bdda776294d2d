#include "MainWindow.h"

#include "BackgroundThreads.h"
#include "BuiltInStation.h"
#include "DCCCabApplication.h"
#include "DCCController.h"
#include "FunctionPanel.h"
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
#include "WindowSettings.h"

#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWheelEvent>
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

    // It fits a 1366x768 laptop screen with room for the desktop's panels, and can be resized
    // down to 800x500.
    EXPECT_LE(window->width(), 1366);
    EXPECT_LE(window->height(), 700);
    EXPECT_LE(window->minimumSizeHint().width(), 800);
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
    FunctionSet functions;
    std::string sent;
    std::string directionTitle;
    bool headlightButton;
    int slider;
    std::string addressField;

    bool operator==(const Throttle&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const Throttle& t) {
        return out << "address " << t.address << " mode " << t.mode << " speed " << t.speed
                   << " step " << t.step << " direction " << t.direction << " functions "
                   << t.functions << " sent '" << t.sent << "' direction " << t.directionTitle
                   << " F0 button " << t.headlightButton << " slider " << t.slider << " field "
                   << t.addressField;
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
                controller->functions(),
                controller->sentPacketString(),
                widget<QPushButton>("directionButton").text().toStdString(),
                widget<QPushButton>("functionButton0").isChecked(),
                widget<QSlider>("speedSlider").value(),
                widget<QLineEdit>("addressField").text().toStdString()};
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

    // A new mode goes out at once, with the speed in it.
    choose(widget<QComboBox>("modeChooser"), 2);
    EXPECT_EQ(controller->speedMode(), 2);
    EXPECT_EQ(text("speedPacketLabel"), "Speed packet: 00000011 00111111 DSSSSSSSS EEEEEEEE");
    EXPECT_EQ(text("speedStepLabel"),
              "Step " + std::to_string(controller->currentSpeedStep()) + " of 126");
    EXPECT_GT(controller->currentSpeedStep(), 14);

    // Another locomotive: it starts stopped, and the first keeps running in the list.
    auto& field = widget<QLineEdit>("addressField");
    field.selectAll();
    QTest::keyClicks(&field, "130");
    EXPECT_EQ(controller->locoAddress(), 3) << "no address before Enter";
    QTest::keyClick(&field, Qt::Key_Return);
    EXPECT_EQ(controller->locoAddress(), 130);
    EXPECT_EQ(text("speedPacketLabel"), "Speed packet: 11000000 10000010 01DSSSSS EEEEEEEE");
    EXPECT_EQ(slider.value(), 0);
    auto& list = widget<QTreeWidget>("locomotiveList");
    ASSERT_EQ(list.topLevelItemCount(), 2);
    EXPECT_EQ(list.topLevelItem(0)->text(0), "Address 3");
    EXPECT_TRUE(list.topLevelItem(0)->text(1).startsWith("step ")) << "still running";
    EXPECT_EQ(list.topLevelItem(1)->text(1), "stopped");
    EXPECT_EQ(list.currentItem(), list.topLevelItem(1)) << "the shown one";

    // Clicking a row shows that locomotive again, as it runs.
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {},
                      list.visualItemRect(list.topLevelItem(0)).center());
    EXPECT_EQ(controller->locoAddress(), 3);
    EXPECT_EQ(slider.value(), 64);
    EXPECT_EQ(field.text(), "3");

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
    EXPECT_EQ(field.text(), "77");
    EXPECT_EQ(widget<QLabel>("trackLabel").text(),
              "Track: not connected - commands wait until the port is open");
    controller->setPortIsOpen(true);
    EXPECT_EQ(widget<QLabel>("trackLabel").text(), "Track: connected");
    controller->setPortIsOpen(false);
}

TEST_F(ThrottleWindowTest, TheAddressFieldTakesAnAddressOnEnterOnly) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    auto& field = widget<QLineEdit>("addressField");
    field.setFocus();

    // The wheel does not change locomotives.
    const QPointF middle = QPointF(field.rect().center());
    for (const int turn : {120, -120}) {
        QWheelEvent wheel(middle, field.mapToGlobal(middle), {}, {0, turn}, Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&field, &wheel);
    }
    EXPECT_EQ(controller->locoAddress(), 3);
    EXPECT_EQ(field.text(), "3");

    // Out of range: the whole number reaches the cab, which refuses it and says so.
    for (const char* refused : {"10240", "0", "99999"}) {
        field.selectAll();
        QTest::keyClicks(&field, refused);
        EXPECT_EQ(field.text(), refused) << "typed as it stands, not cut to a valid address";
        QTest::keyClick(&field, Qt::Key_Return);
        EXPECT_EQ(controller->locoAddress(), 3) << refused;
        EXPECT_EQ(field.text(), "3") << refused;
        EXPECT_NE(text("statusLine").find(refused), std::string::npos) << text("statusLine");
    }
    field.selectAll();
    QTest::keyClicks(&field, "123456x");
    EXPECT_EQ(field.text(), "12345") << "five digits at most";

    // Up and Down drive the speed, not the address; leaving the field drops what was typed.
    field.selectAll();
    QTest::keyClicks(&field, "42");
    QTest::keyClick(&field, Qt::Key_Up);
    EXPECT_EQ(controller->currentSpeedStep(), 1);
    widget<QSlider>("speedSlider").setFocus();
    EXPECT_EQ(controller->locoAddress(), 3);
    EXPECT_EQ(field.text(), "3");

    field.setFocus();
    field.selectAll();
    QTest::keyClicks(&field, "10239");
    QTest::keyClick(&field, Qt::Key_Return);
    EXPECT_EQ(controller->locoAddress(), 10239);
    EXPECT_EQ(field.text(), "10239");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_1);
    EXPECT_TRUE(controller->functionIsOn(1)) << "once taken, the digits work the functions";
}

// The function buttons show what the cab holds, whoever changed it: a click, a key, or another
// throttle of the same cab.
TEST_F(ThrottleWindowTest, FunctionButtonsFollowTheCab) {
    Roster roster;
    RosterEntry engine;
    engine.name = "Class 66";
    engine.address = 66;
    engine.functionLabels[1] = "Bell";
    engine.functionLabels[2] = "Horn";
    ASSERT_TRUE(roster.store(engine));
    controller->setRoster(roster);
    auto& chooser = widget<QComboBox>("rosterChooser");
    ASSERT_EQ(chooser.count(), 1);
    EXPECT_EQ(chooser.currentIndex(), -1) << "address 3 is not in the roster";
    choose(chooser, 0);
    EXPECT_EQ(controller->locoAddress(), 66);

    auto& bell = widget<QPushButton>("functionButton1");
    auto& horn = widget<QPushButton>("functionButton2");
    EXPECT_EQ(bell.text(), "F1 Bell");
    EXPECT_EQ(widget<QPushButton>("functionButton28").text(), "F28");

    // Latching: a click turns it on, the next off; the button shows the cab's state.
    QTest::mouseClick(&bell, Qt::LeftButton);
    EXPECT_TRUE(controller->functionIsOn(1));
    EXPECT_TRUE(bell.isChecked());
    controller->setFunction(1, false); // from elsewhere
    EXPECT_FALSE(bell.isChecked());
    controller->setFunction(1, true);
    QTest::mouseClick(&bell, Qt::LeftButton);
    EXPECT_FALSE(controller->functionIsOn(1));
    EXPECT_FALSE(bell.isChecked());

    // Momentary: on while held, by the mouse or by its key; the key's repeats do nothing.
    QTest::mousePress(&horn, Qt::LeftButton);
    EXPECT_TRUE(controller->functionIsOn(2));
    EXPECT_TRUE(horn.isChecked());
    QTest::mouseRelease(&horn, Qt::LeftButton);
    EXPECT_FALSE(controller->functionIsOn(2));
    EXPECT_FALSE(horn.isChecked());
    QWidget& slider = widget<QSlider>("speedSlider");
    slider.setFocus();
    QTest::keyPress(&slider, Qt::Key_2);
    EXPECT_TRUE(horn.isChecked());
    QKeyEvent repeatRelease(QEvent::KeyRelease, Qt::Key_2, Qt::NoModifier, "2", true);
    QKeyEvent repeatPress(QEvent::KeyPress, Qt::Key_2, Qt::NoModifier, "2", true);
    QApplication::sendEvent(&slider, &repeatRelease);
    QApplication::sendEvent(&slider, &repeatPress);
    EXPECT_TRUE(controller->functionIsOn(2)) << "still held";
    QTest::keyRelease(&slider, Qt::Key_2);
    EXPECT_FALSE(horn.isChecked());

    // Another locomotive shows its own functions; the first keeps its own.
    QTest::keyClick(&slider, Qt::Key_5);
    EXPECT_TRUE(widget<QPushButton>("functionButton5").isChecked());
    controller->setLocoAddress(3);
    EXPECT_FALSE(widget<QPushButton>("functionButton5").isChecked());
    EXPECT_EQ(bell.text(), "F1");
    EXPECT_TRUE(controller->findLocomotive(66)->functionIsOn(5));

    // The emergency stop shows until the locomotive is driven again, there and in the list.
    auto& sign = widget<QLabel>("emergencyStopLabel");
    EXPECT_FALSE(sign.isVisible());
    QTest::keyClick(&slider, Qt::Key_Escape);
    EXPECT_TRUE(sign.isVisible());
    auto& list = widget<QTreeWidget>("locomotiveList");
    EXPECT_EQ(list.currentItem()->text(1), "EMERGENCY STOP");
    EXPECT_EQ(list.findItems("Class 66 (66)", Qt::MatchExactly).size(), 1);
    QTest::keyClick(&slider, Qt::Key_Up);
    EXPECT_FALSE(sign.isVisible());
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
        {"functionButton0", "00000011 10010000 10010011 ", "(key 0 or L)"},
        {"directionButton", "00000011 01000000 01000011 ", "(D)"},
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
    EXPECT_TRUE(widget<QPushButton>("functionButton0").isChecked());
    EXPECT_TRUE(widget<QSlider>("speedSlider").toolTip().contains("Page Up"));

    // The diagnostics are in their menu and leave the last packet line alone.
    for (const char* name : {"dumpAction", "infoAction", "testDispatcherAction"}) {
        controller->setSentPacketString("before");
        auto& action = widget<QAction>(name);
        ASSERT_TRUE(widget<QMenu>("diagnosticsMenu").actions().contains(&action)) << name;
        action.trigger();
        EXPECT_EQ(controller->sentPacketString(), "before") << name;
    }
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
             t.sent = "00000011 01011000 01011011 ";
         }},
        {Qt::Key_L, "l",
         [](Throttle& t) {
             t.functions = 1;
             t.headlightButton = true;
             t.sent = "00000011 10010000 10010011 ";
         }},
        {Qt::Key_1, "1",
         [](Throttle& t) {
             t.functions = 2;
             t.sent = "00000011 10000001 10000010 ";
         }},
    };
    // A button's Space, the slider's arrows, the view's paging and the choosers' and the list's
    // letters would each add their own effect if they saw the key.
    const std::vector<const char*> focused{"speedSlider",  "addressField", "receivedDataTextView",
                                           "stopButton",   "modeChooser",  "locomotiveList",
                                           "sendTextField"};
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    auto& field = widget<QLineEdit>("sendTextField");
    for (const char* name : focused) {
        for (const KeyCase& key : keys) {
            if (controller->locoDirection() != 1) {
                QTest::mouseClick(&widget<QPushButton>("directionButton"), Qt::LeftButton);
            }
            for (const int function : {0, 1}) {
                if (controller->functionIsOn(function)) {
                    controller->setFunction(function, false);
                }
            }
            controller->setLocoAddress(3); // the address field as it was
            controller->setLocoSpeed(64);
            field.clear();
            auto& target = widget<QWidget>(name);
            target.setFocus(Qt::TabFocusReason);
            ASSERT_EQ(QApplication::focusWidget(), &target) << name;

            Throttle expected = throttle();
            const bool typing = target.objectName() == "sendTextField";
            const bool digitInAddress =
                target.objectName() == "addressField" && key.key == Qt::Key_1;
            if (digitInAddress) {
                expected.addressField = "31"; // typed after the address, not yet taken
            } else if (!typing || key.key == Qt::Key_Escape) {
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

TEST_F(ThrottleWindowTest,
       TheHeadlightButtonPutsItsFrameOnTheWireAndTheTrackLineFollowsTheStation) {
    choose(widget<QComboBox>("portChooser"), 0);
    auto& open = widget<QPushButton>("openCloseButton");
    QTest::mouseClick(&open, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->portIsOpen(); }));
    EXPECT_EQ(text("trackLabel"), "Track: connected");
    EXPECT_FALSE(ptys[0].hasData()) << "opening sends nothing";

    controller->setReplyTimeout(std::chrono::milliseconds(1));
    QTest::mouseClick(&widget<QPushButton>("functionButton0"), Qt::LeftButton);
    EXPECT_EQ(ptys[0].read(4), Bytes({0x03, 0x03, 0x90, 0x93}));
    EXPECT_TRUE(widget<QPushButton>("functionButton0").isChecked());
    EXPECT_EQ(text("sentPacketLabel"), "Last packet: 00000011 10010000 10010011");

    // No reply: the track line says the station does not answer, until it does.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !controller->stationIsAnswering(); }));
    EXPECT_EQ(text("trackLabel"),
              "Track: the command station does not answer - check that it is on");
    // A reply, and time enough for the next: the station answers again.
    controller->setReplyTimeout(std::chrono::hours(1));
    ptys[0].write({'O', 'K', '\n'});
    ASSERT_TRUE(QTest::qWaitFor([&] { return controller->stationIsAnswering(); }));
    EXPECT_EQ(text("trackLabel"), "Track: connected");
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

    // The simulated station becomes a DCC-EX on a line of its own, opened again, with power.
    EXPECT_FALSE(widget<QPushButton>("powerButton").isEnabled())
        << "the board has no power command";
    choose(widget<QComboBox>("stationChooser"), 1);
    EXPECT_EQ(station.kind(), StationKind::dccex);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return controller->portIsOpen() && controller->trackPower() == TrackPower::on; }));
    EXPECT_EQ(controller->serialPort(), station.port());
    EXPECT_TRUE(widget<QPushButton>("powerButton").isChecked());
    widget<QSlider>("speedSlider").setValue(100);
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return text("simulatedTrackLabel").find("loco 3: step 99 of 126, forward") !=
               std::string::npos;
    })) << text("simulatedTrackLabel");
    QTest::mouseClick(&widget<QPushButton>("powerButton"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return controller->trackPower() == TrackPower::off; }));

    choose(chooser, 0);
    EXPECT_FALSE(widget<QWidget>("simulatedTrackBox").isVisible());
    window.reset();
}

// At the smallest size the window is made for, every control is at least as wide and as tall as
// its text needs: nothing clipped, nothing crushed, with roster labels of the usual length.
TEST_F(MainWindowTest, AtEightHundredByFiveHundredNoControlIsNarrowerThanItsText) {
    Roster roster;
    RosterEntry engine;
    engine.name = "Class 37 Large Logo";
    engine.address = 10239;
    engine.functionLabels = {"Light", "Engine", "Horn", "Bell", "Coupler", "Cab light", "Fans"};
    ASSERT_TRUE(roster.store(engine));
    controller->setRoster(roster);
    controller->setLocoAddress(10239);
    controller->sendEmergencyStop(nullptr);
    window->resize(800, 500);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->size() == QSize(800, 500); }))
        << window->width() << "x" << window->height();
    QApplication::processEvents();

    int checked = 0;
    for (QWidget* control : window->findChildren<QWidget*>()) {
        if (!control->isVisibleTo(window.get()) || control->window() != window.get() ||
            qobject_cast<QLineEdit*>(control->parentWidget()) != nullptr ||
            qobject_cast<QComboBox*>(control->parentWidget()) != nullptr) {
            continue; // hidden, or a part of a chooser
        }
        const QString name = control->objectName();
        QSize needed;
        if (auto* label = qobject_cast<QLabel*>(control)) {
            needed = label->wordWrap() ? label->minimumSizeHint() : label->sizeHint();
            if (label->wordWrap()) {
                needed.setHeight(label->heightForWidth(label->width()));
            }
        } else if (auto* field = qobject_cast<QLineEdit*>(control)) {
            needed = {field->fontMetrics().horizontalAdvance(field->text()) + 8,
                      field->minimumSizeHint().height()};
        } else if (qobject_cast<QAbstractButton*>(control) != nullptr ||
                   qobject_cast<QComboBox*>(control) != nullptr ||
                   qobject_cast<QAbstractSpinBox*>(control) != nullptr) {
            needed = control->sizeHint();
            if (auto* box = qobject_cast<QComboBox*>(control)) {
                needed.setWidth(box->minimumSizeHint().width());
            }
        } else {
            continue;
        }
        ++checked;
        const std::string what = name.toStdString() + " " + control->metaObject()->className();
        EXPECT_GE(control->width(), needed.width()) << what;
        EXPECT_GE(control->height(), needed.height()) << what;
        // And not cut off by what holds it; only a scroll area may hide it above or below.
        for (QWidget* holder = control->parentWidget(); holder != nullptr;
             holder = holder->parentWidget()) {
            const QRect placed(control->mapTo(holder, QPoint(0, 0)), control->size());
            EXPECT_GE(placed.left(), 0) << what << " in " << holder->objectName().toStdString();
            EXPECT_LE(placed.right(), holder->width() - 1)
                << what << " in " << holder->objectName().toStdString();
            if (qobject_cast<QAbstractScrollArea*>(holder->parentWidget()) == nullptr &&
                qobject_cast<QAbstractScrollArea*>(holder) == nullptr) {
                EXPECT_GE(placed.top(), 0) << what;
                EXPECT_LE(placed.bottom(), holder->height() - 1) << what;
            }
            if (holder == window.get()) {
                break;
            }
        }
    }
    EXPECT_GT(checked, 50) << "the 29 function buttons and the rest";
    EXPECT_TRUE(widget<QLabel>("emergencyStopLabel").isVisible());
    EXPECT_EQ(widget<QLineEdit>("addressField").text(), "10239");
}

// The settings come back as they were saved: through the file, and into a new window.
TEST_F(MainWindowTest, SettingsComeBackAsTheyWereSaved) {
    choose(widget<QComboBox>("portChooser"), 1);
    choose(widget<QComboBox>("stationChooser"), 1); // DCC-EX, with its usual rate
    EXPECT_EQ(listed(1)->baudRate(), 115200u);
    listed(1)->setBaudRate(57600);
    controller->setReconnectsAfterReplug(false);
    controller->setLocoAddress(130);
    window->resize(800, 540); // the offscreen screen is 800x600
    const WindowSettings settings = window->settings();
    EXPECT_EQ(settings.port, QString::fromStdString(ptys[1].slavePath()));
    EXPECT_EQ(settings.baudRate, 57600u);
    EXPECT_EQ(settings.reconnectsAfterReplug, false);
    EXPECT_EQ(settings.windowSize, QSize(800, 540));
    EXPECT_EQ(settings.locoAddress, 130);
    EXPECT_EQ(settings.stationKinds.at(QString::fromStdString(ptys[1].slavePath())), "dccex");

    const QTemporaryDir directory;
    const QString file = directory.filePath("dcc-cab.conf");
    {
        QSettings stored(file, QSettings::IniFormat);
        settings.save(stored);
    }
    const QSettings stored(file, QSettings::IniFormat);
    const WindowSettings loaded = WindowSettings::load(stored);
    EXPECT_EQ(loaded, settings);
    EXPECT_EQ(WindowSettings::portForKey(*loaded.port, *manager->availablePorts()), listed(1));

    controller->setReconnectsAfterReplug(true);
    controller->setStationKind(StationKind::board);
    window = std::make_unique<MainWindow>(*controller);
    window->restoreSettings(loaded);
    EXPECT_EQ(window->size(), QSize(800, 540));
    EXPECT_FALSE(controller->reconnectsAfterReplug());
    EXPECT_EQ(controller->stationKind(), StationKind::dccex) << "the port's station again";
    choose(widget<QComboBox>("portChooser"), 0);
    EXPECT_EQ(controller->stationKind(), StationKind::board) << "a port never given one";

    // Nothing saved, or nonsense: nothing comes back.
    QSettings nonsense(directory.filePath("other.conf"), QSettings::IniFormat);
    EXPECT_EQ(WindowSettings::load(nonsense), WindowSettings{});
    nonsense.setValue("baudRate", "fast");
    nonsense.setValue("locoAddress", "-3");
    nonsense.setValue("window/size", "big");
    EXPECT_EQ(WindowSettings::load(nonsense), WindowSettings{});
}

TEST(WindowSettingsTest, RemembersAPortByItsStableLinkWhereItHasOne) {
    const TestDeviceRegistry registry;
    SerialDevice::Properties properties{
        {SerialDevice::calloutDeviceKey, "/dev/ttyUSB0"},
        {SerialDevice::dialinDeviceKey, "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"},
        {SerialDevice::ttyDeviceKey, "ttyUSB0"}};
    const auto linked = KESSerialPort::serialPortWithDevice(
        std::make_shared<const SerialDevice>(std::move(properties)));
    properties = {{SerialDevice::calloutDeviceKey, "/dev/ttyACM0"},
                  {SerialDevice::ttyDeviceKey, "ttyACM0"}};
    const auto plain = KESSerialPort::serialPortWithDevice(
        std::make_shared<const SerialDevice>(std::move(properties)));
    EXPECT_EQ(WindowSettings::keyOfPort(*linked), "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0");
    EXPECT_EQ(WindowSettings::keyOfPort(*plain), "/dev/ttyACM0");
    const std::vector<std::shared_ptr<KESSerialPort>> ports{plain, linked};
    EXPECT_EQ(WindowSettings::portForKey("/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", ports),
              linked);
    EXPECT_EQ(WindowSettings::portForKey("/dev/ttyACM0", ports), plain);
    EXPECT_EQ(WindowSettings::portForKey("/dev/ttyUSB9", ports), nullptr) << "absent: none";
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

#include "MainWindow.h"

#include "BackgroundThreads.h"
#include "DCCCabApplication.h"
#include "HBAppDelegate.h"
#include "KESSerialPort.h"
#include "KESSerialPortDemoController.h"
#include "KESSerialPortManager.h"
#include "PseudoTerminalPair.h"
#include "QtButton.h"
#include "QtMainQueue.h"
#include "QtTextField.h"
#include "QtTextView.h"
#include "RecordingLog.h"
#include "TestDeviceEvents.h"
#include "TestDeviceRegistry.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <array>
#include <gtest/gtest.h>

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
        controller = std::make_unique<KESSerialPortDemoController>(*manager);
        window = std::make_unique<MainWindow>(*controller);
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
    std::unique_ptr<KESSerialPortDemoController> controller;
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
}

TEST_F(MainWindowTest, ChoosesOpensAndSendsWhatIsTypedAsTheOperatorWould) {
    auto& ports = widget<QComboBox>("portChooser");
    auto& rates = widget<QComboBox>("baudRateChooser");
    auto& button = widget<QPushButton>("openCloseButton");
    auto& field = widget<QLineEdit>("sendTextField");
    auto& view = widget<QPlainTextEdit>("receivedDataTextView");

    QTest::keyClick(&ports, Qt::Key_Down); // from no choice to the first port
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

    ptys[0].write({'O', 'K', ' ', '1', '\n'});
    ASSERT_TRUE(QTest::qWaitFor([&] { return view.toPlainText() == "OK 1\n"; }));
    widget<QAction>("clearReceivedAction").trigger();
    EXPECT_EQ(view.toPlainText(), "");

    // Choosing the other port closes this one; the rate shown is the new port's.
    QTest::keyClick(&ports, Qt::Key_Down);
    EXPECT_EQ(controller->serialPort(), listed(1));
    EXPECT_FALSE(listed(0)->isOpen());
    EXPECT_EQ(button.text(), "Open");
    EXPECT_EQ(rates.currentText(), "38400");
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

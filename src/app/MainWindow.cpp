#include "MainWindow.h"

#include "BuiltInStation.h"
#include "DCCController.h"
#include "DCCSpeedEncoding.h"
#include "KESSerialPort.h"
#include "KESSerialPortManager.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QStatusBar>
#include <algorithm>
#include <charconv>

MainWindow::MainWindow(DCCController& controller, BuiltInStation* station, QWidget* parent)
    : QMainWindow(parent), controller_(controller), station_(station),
      ui_(std::make_unique<Ui::MainWindow>()) {
    ui_->setupUi(this);
    statusLine_ = new QLabel(this);
    statusLine_->setObjectName("statusLine");
    statusLine_->setContentsMargins(6, 0, 6, 0); // off the window's edge, in line with the labels
    statusBar()->addWidget(statusLine_, 1);

    for (std::uint64_t rate : controller_.availableBaudRates()) {
        ui_->baudRateChooser->addItem(QString::number(rate));
    }
    // Up to seven digits, no leading zero: every rate a serial adapter can be asked for.
    ui_->baudRateChooser->setValidator(new QRegularExpressionValidator(
        QRegularExpression("[1-9][0-9]{0,6}"), ui_->baudRateChooser));

    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    ui_->sentPacketLabel->setFont(fixed);
    ui_->speedPacketLabel->setFont(fixed);
    ui_->simulatedTrackLabel->setFont(fixed);
    if (station_ != nullptr) {
        simulatedTrackObservation_ =
            station_->addObserver("layout", [this](std::string_view) { showSimulatedTrack(); });
    }

    connectOutlets();
    wireActions();
    followController();
    followThrottle();
    // Before any control: the throttle's keys must win over the controls' own handling.
    QCoreApplication::instance()->installEventFilter(this);
}

MainWindow::~MainWindow() {
    if (QCoreApplication* application = QCoreApplication::instance()) {
        application->removeEventFilter(this);
    }
    // Only the outlets this window connected: the controller may have been given others since.
    if (controller_.sendTextField() == sendTextField_.get()) {
        controller_.setSendTextField(nullptr);
    }
    if (controller_.receivedDataTextView() == receivedDataTextView_.get()) {
        controller_.setReceivedDataTextView(nullptr);
    }
    if (controller_.openCloseButton() == openCloseButton_.get()) {
        controller_.setOpenCloseButton(nullptr);
    }
    if (controller_.addressModeButton() == addressModeButton_.get()) {
        controller_.setAddressModeButton(nullptr);
    }
}

MainWindow::KeyAction MainWindow::keyAction(int key, Qt::KeyboardModifiers modifiers) {
    if ((modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) != 0) {
        return KeyAction::none; // the menus' shortcuts and the controls' own chords
    }
    switch (key) {
    case Qt::Key_Space:
        return KeyAction::stop;
    case Qt::Key_Escape:
        return KeyAction::emergencyStop;
    case Qt::Key_Up:
        return KeyAction::stepUp;
    case Qt::Key_Down:
        return KeyAction::stepDown;
    case Qt::Key_PageUp:
        return KeyAction::pageUp;
    case Qt::Key_PageDown:
        return KeyAction::pageDown;
    case Qt::Key_D:
        return KeyAction::direction;
    case Qt::Key_L:
        return KeyAction::headlight;
    default:
        return KeyAction::none;
    }
}

QString MainWindow::keysText() {
    return tr("<table cellspacing=\"4\">"
              "<tr><td><b>Space</b></td><td>Stop</td></tr>"
              "<tr><td><b>Esc</b></td><td>Emergency stop</td></tr>"
              "<tr><td><b>Up / Down</b></td><td>One speed step faster / slower</td></tr>"
              "<tr><td><b>Page Up / Page Down</b></td>"
              "<td>A seventh of full speed faster / slower</td></tr>"
              "<tr><td><b>D</b></td><td>Change direction</td></tr>"
              "<tr><td><b>L</b></td><td>Headlight on or off</td></tr>"
              "</table>"
              "<p>The keys work wherever the focus is in the window, except in the send field, "
              "where they type as usual. Esc is the emergency stop there too.</p>");
}

QString MainWindow::titleOfPort(const KESSerialPort& port) {
    QString title = QString::fromStdString(port.name());
    const DeviceHandle device = port.IOKitDevice();
    if (!device) {
        return title;
    }
    auto readable = [&](const char* fromDatabase, const char* own) {
        std::optional<std::string> value = device->property(fromDatabase);
        if (!value || value->empty()) {
            value = device->property(own);
        }
        // udev spells spaces in its own properties as underscores.
        return value ? QString::fromStdString(*value).replace('_', ' ').trimmed() : QString();
    };
    const QString maker = readable("ID_VENDOR_FROM_DATABASE", "ID_VENDOR");
    const QString model = readable("ID_MODEL_FROM_DATABASE", "ID_MODEL");
    const QString identity = (maker + ' ' + model).trimmed();
    return identity.isEmpty() ? title : title + QString::fromUtf8(" \u2014 ") + identity;
}

std::optional<std::uint64_t> MainWindow::baudRateFromText(const QString& text) {
    const std::string digits = text.trimmed().toStdString();
    std::uint64_t rate = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), rate);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        rate == 0) {
        return std::nullopt;
    }
    return rate;
}

void MainWindow::connectOutlets() {
    receivedDataTextView_ = std::make_unique<QtTextView>(*ui_->receivedDataTextView);
    sentPacketLabel_ = std::make_unique<QtThrottledLabel>(*ui_->sentPacketLabel);
    simulatedTrackLabel_ = std::make_unique<QtThrottledLabel>(*ui_->simulatedTrackLabel);
    sendTextField_ = std::make_unique<QtTextField>(*ui_->sendTextField);
    openCloseButton_ = std::make_unique<QtButton>(*ui_->openCloseButton);
    controller_.setReceivedDataTextView(receivedDataTextView_.get());
    controller_.setSendTextField(sendTextField_.get());
    controller_.setOpenCloseButton(openCloseButton_.get());

    addressModeButton_ = std::make_unique<QtPopUpButton>(*ui_->modeChooser);
    speedControl_ = std::make_unique<QtValueControl>(*ui_->speedSlider);
    directionButton_ = std::make_unique<QtButton>(*ui_->directionButton);
    headlightButton_ = std::make_unique<QtButton>(*ui_->headlightButton);
    controller_.setAddressModeButton(addressModeButton_.get());
}

void MainWindow::wireActions() {
    connect(ui_->openCloseButton, &QPushButton::clicked, this,
            [this] { controller_.openOrClosePort(ui_->openCloseButton); });
    connect(ui_->openCloseAction, &QAction::triggered, this,
            [this] { controller_.openOrClosePort(ui_->openCloseAction); });
    connect(ui_->sendButton, &QPushButton::clicked, this,
            [this] { controller_.send(ui_->sendButton); });
    connect(ui_->sendTextField, &QLineEdit::returnPressed, this,
            [this] { controller_.send(ui_->sendTextField); });
    connect(ui_->clearReceivedAction, &QAction::triggered, this,
            [this] { receivedDataTextView_->clear(); });
    connect(ui_->quitAction, &QAction::triggered, this, [] { QCoreApplication::quit(); });
    connect(ui_->reconnectAction, &QAction::toggled, this,
            [this](bool checked) { controller_.setReconnectsAfterReplug(checked); });
    connect(ui_->aboutAction, &QAction::triggered, this, &MainWindow::showAbout);
    // activated: only the operator's choice, never the window's own updates of the list.
    connect(ui_->portChooser, &QComboBox::activated, this, &MainWindow::choosePortAt);
    // A rate from the list, or one typed in and confirmed with Enter (or by leaving the field).
    connect(ui_->baudRateChooser, &QComboBox::textActivated, this, &MainWindow::chooseBaudRate);
    connect(ui_->baudRateChooser->lineEdit(), &QLineEdit::editingFinished, this,
            [this] { chooseBaudRate(ui_->baudRateChooser->currentText()); });

    // Without keyboard tracking the box reports an address once it is confirmed (Enter, leaving
    // the box, its arrows), not every digit on the way.
    connect(ui_->addressSpinBox, &QSpinBox::valueChanged, this,
            [this](int address) { controller_.setLocoAddress(address); });
    connect(ui_->modeChooser, &QComboBox::activated, this,
            [this](int index) { controller_.setSpeedMode(index); });
    connect(ui_->speedSlider, &QSlider::valueChanged, this,
            [this] { controller_.sendSpeedChange(speedControl_.get()); });
    connect(ui_->directionButton, &QPushButton::clicked, this,
            [this] { controller_.sendDirectionChange(directionButton_.get()); });
    connect(ui_->headlightButton, &QPushButton::clicked, this,
            [this] { controller_.headlight(headlightButton_.get()); });
    connect(ui_->stopButton, &QPushButton::clicked, this,
            [this] { controller_.sendStop(ui_->stopButton); });
    connect(ui_->emergencyStopButton, &QPushButton::clicked, this,
            [this] { controller_.sendEmergencyStop(ui_->emergencyStopButton); });
    connect(ui_->stopAllButton, &QPushButton::clicked, this,
            [this] { controller_.sendBroadcastEmergencyStop(ui_->stopAllButton); });
    connect(ui_->idleButton, &QPushButton::clicked, this,
            [this] { controller_.sendIdle(ui_->idleButton); });
    connect(ui_->resetButton, &QPushButton::clicked, this,
            [this] { controller_.sendReset(ui_->resetButton); });
    connect(ui_->dumpButton, &QPushButton::clicked, this,
            [this] { controller_.sendDump(ui_->dumpButton); });
    connect(ui_->infoButton, &QPushButton::clicked, this,
            [this] { controller_.dumpInfo(ui_->infoButton); });
    connect(ui_->testDispatcherAction, &QAction::triggered, this,
            [this] { controller_.testDispatcher(); });
    connect(ui_->keysAction, &QAction::triggered, this, &MainWindow::showKeys);
}

void MainWindow::followController() {
    KESSerialPortManager* manager = controller_.serialPortManager();
    if (manager != nullptr) {
        portListObservation_ = manager->addChangeObserver(
            "availablePorts", [this](std::string_view, const std::any&) { showAvailablePorts(); });
    }
    chosenPortObservation_ =
        controller_.addObserver("serialPort", [this](std::string_view) { showChosenPort(); });
    statusObservation_ = controller_.addObserver("statusText", [this](std::string_view) {
        statusLine_->setText(QString::fromStdString(controller_.statusText()));
    });
    reconnectObservation_ =
        controller_.addObserver("reconnectsAfterReplug", [this](std::string_view) {
            ui_->reconnectAction->setChecked(controller_.reconnectsAfterReplug());
        });

    showAvailablePorts();
    showChosenPort();
    statusLine_->setText(QString::fromStdString(controller_.statusText()));
    ui_->reconnectAction->setChecked(controller_.reconnectsAfterReplug());
}

void MainWindow::followThrottle() {
    auto follow = [this](const char* key, void (MainWindow::*show)()) {
        return controller_.addObserver(key, [this, show](std::string_view) { (this->*show)(); });
    };
    addressObservation_ = follow("locoAddress", &MainWindow::showAddress);
    speedObservation_ = follow("locoSpeed", &MainWindow::showSpeed);
    speedStepObservation_ = follow("currentSpeedStep", &MainWindow::showSpeedStep);
    sentPacketObservation_ = follow("sentPacketString", &MainWindow::showSentPacket);
    speedPacketTypeObservation_ = follow("speedPacketTypeString", &MainWindow::showSpeedPacketType);
    portIsOpenObservation_ = follow("portIsOpen", &MainWindow::showPortIsOpen);
    speedModeObservation_ = controller_.addObserver("speedMode", [this](std::string_view) {
        addressModeButton_->selectItemAtIndex(static_cast<int>(controller_.speedMode()));
        showSpeedStep(); // the top step is the mode's
    });

    showAddress();
    showSpeed();
    showSpeedStep();
    showSentPacket();
    showSpeedPacketType();
    showPortIsOpen();
}

void MainWindow::showAddress() {
    // Also after a refused address: the box goes back to the address in force.
    const QSignalBlocker quiet(ui_->addressSpinBox);
    ui_->addressSpinBox->setValue(static_cast<int>(
        std::clamp(controller_.locoAddress(), minimumLocoAddress, maximumLocoAddress)));
}

void MainWindow::showSpeed() {
    const QSignalBlocker quiet(ui_->speedSlider);
    ui_->speedSlider->setValue(static_cast<int>(controller_.locoSpeed()));
}

void MainWindow::showSpeedStep() {
    const std::int64_t top = topSpeedStep(controller_.speedMode());
    const QString step = QString::number(controller_.currentSpeedStep());
    ui_->speedStepLabel->setText(top > 0 ? tr("Step %1 of %2").arg(step).arg(top)
                                         : tr("Step %1").arg(step));
}

void MainWindow::showSentPacket() {
    const QString packet = QString::fromStdString(controller_.sentPacketString()).trimmed();
    sentPacketLabel_->setText(
        tr("Last packet: %1").arg(packet.isEmpty() ? tr("none yet") : packet));
}

void MainWindow::showSpeedPacketType() {
    ui_->speedPacketLabel->setText(
        tr("Speed packet: %1").arg(QString::fromStdString(controller_.speedPacketTypeString())));
}

void MainWindow::showPortIsOpen() {
    ui_->trackLabel->setText(controller_.portIsOpen()
                                 ? tr("Track: connected")
                                 : tr("Track: not connected - commands wait until the port "
                                      "is open"));
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
        if (takeThrottleKey(watched, *static_cast<QKeyEvent*>(event))) {
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

bool MainWindow::takeThrottleKey(QObject* watched, const QKeyEvent& event) {
    // A key goes first to the window system's window, then to the focus widget, then up through
    // its parents while none accepts it: taken at the first widget of this window, or not at all.
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || widget->window() != this) {
        return false;
    }
    const KeyAction action = keyAction(event.key(), event.modifiers());
    if (action == KeyAction::none) {
        return false;
    }
    // Decided by the focus, not the receiver: a key the send field passes on to its parents is
    // still the send field's.
    QWidget* focus = QApplication::focusWidget();
    if (focus == nullptr || focus->window() != this) {
        focus = widget;
    }
    QLineEdit* field = ui_->sendTextField;
    if ((focus == field || field->isAncestorOf(focus)) && action != KeyAction::emergencyStop) {
        return false;
    }
    // The release is taken too, so that a focused button never completes a click of its own;
    // a held toggle key flips once.
    const bool toggles = action == KeyAction::direction || action == KeyAction::headlight;
    if (event.type() == QEvent::KeyPress && !(event.isAutoRepeat() && toggles)) {
        act(action);
    }
    return true;
}

void MainWindow::act(KeyAction action) {
    const std::int64_t page = std::max<std::int64_t>(1, topSpeedStep(controller_.speedMode()) / 7);
    switch (action) {
    case KeyAction::stop:
        controller_.sendStop(ui_->stopButton);
        break;
    case KeyAction::emergencyStop:
        controller_.sendEmergencyStop(ui_->emergencyStopButton);
        break;
    case KeyAction::stepUp:
        controller_.changeSpeedBySteps(1);
        break;
    case KeyAction::stepDown:
        controller_.changeSpeedBySteps(-1);
        break;
    case KeyAction::pageUp:
        controller_.changeSpeedBySteps(page);
        break;
    case KeyAction::pageDown:
        controller_.changeSpeedBySteps(-page);
        break;
    case KeyAction::direction:
        controller_.sendDirectionChange(directionButton_.get());
        break;
    case KeyAction::headlight:
        controller_.headlight(headlightButton_.get());
        break;
    case KeyAction::none:
        break;
    }
}

void MainWindow::showAvailablePorts() {
    KESSerialPortManager* manager = controller_.serialPortManager();
    listedPorts_.clear();
    if (manager != nullptr && manager->availablePorts()) {
        listedPorts_ = *manager->availablePorts();
    }
    QComboBox& chooser = *ui_->portChooser;
    const QSignalBlocker quiet(chooser);
    chooser.clear();
    for (const auto& port : listedPorts_) {
        chooser.addItem(titleOfPort(*port), QString::fromStdString(port->path()));
    }
    if (station_ != nullptr) {
        chooser.addItem(QString::fromUtf8(BuiltInStation::portName));
    }
    chooser.setEnabled(chooser.count() > 0);
    showChosenPort();
}

void MainWindow::showChosenPort() {
    const std::shared_ptr<KESSerialPort>& chosen = controller_.serialPort();
    int index = -1;
    for (std::size_t i = 0; i < listedPorts_.size(); ++i) {
        if (listedPorts_[i] == chosen) {
            index = static_cast<int>(i);
        }
    }
    const bool simulated = station_ != nullptr && chosen && chosen == station_->port();
    if (simulated) {
        index = static_cast<int>(listedPorts_.size());
    }
    ui_->portChooser->setCurrentIndex(index);
    ui_->simulatedTrackBox->setVisible(simulated);
    showSimulatedTrack();

    baudRateObservation_.reset();
    openStateObservation_.reset();
    if (chosen) {
        baudRateObservation_ =
            chosen->addObserver("baudRate", [this](std::string_view) { showBaudRate(); });
        openStateObservation_ =
            chosen->addObserver("isOpen", [this](std::string_view) { showOpenState(); });
    }
    ui_->baudRateChooser->setEnabled(chosen != nullptr);
    ui_->openCloseButton->setEnabled(chosen != nullptr);
    ui_->openCloseAction->setEnabled(chosen != nullptr);
    showBaudRate();
    showOpenState();
}

void MainWindow::showBaudRate() {
    const std::shared_ptr<KESSerialPort>& chosen = controller_.serialPort();
    const std::optional<std::uint64_t> rate = chosen ? chosen->baudRate() : std::nullopt;
    QComboBox& chooser = *ui_->baudRateChooser;
    if (!rate) {
        chooser.setCurrentIndex(-1);
        chooser.setEditText(QString());
        return;
    }
    const QString text = QString::number(*rate);
    const int index = chooser.findText(text);
    chooser.setCurrentIndex(index);
    chooser.setEditText(text); // a rate that is not in the list shows as typed
}

void MainWindow::showOpenState() {
    const std::shared_ptr<KESSerialPort>& chosen = controller_.serialPort();
    ui_->openCloseAction->setText(chosen && chosen->isOpen() ? tr("&Close Port")
                                                             : tr("&Open Port"));
}

void MainWindow::choosePortAt(int index) {
    if (index >= 0 && static_cast<std::size_t>(index) < listedPorts_.size()) {
        // Copied: choosing may change the list (and listedPorts_) before it returns.
        const std::shared_ptr<KESSerialPort> port = listedPorts_[static_cast<std::size_t>(index)];
        controller_.setSerialPort(port);
    } else if (station_ != nullptr && static_cast<std::size_t>(index) == listedPorts_.size()) {
        std::string why;
        const std::shared_ptr<KESSerialPort> port = station_->start(&why);
        if (port) {
            controller_.setSerialPort(port);
        } else {
            statusLine_->setText(tr("The simulated command station cannot start (%1); choose "
                                    "another port")
                                     .arg(QString::fromStdString(why)));
            showChosenPort();
        }
    }
}

void MainWindow::showSimulatedTrack() {
    if (station_ == nullptr || station_->frames() == 0) {
        simulatedTrackLabel_->setText(
            tr("No frames yet: open the port and drive; the decoders show here"));
        return;
    }
    simulatedTrackLabel_->setText(QString::fromStdString(station_->layout().describe()));
}

void MainWindow::chooseBaudRate(const QString& text) {
    const std::shared_ptr<KESSerialPort> chosen = controller_.serialPort();
    const std::optional<std::uint64_t> rate = baudRateFromText(text);
    if (chosen && rate) {
        if (chosen->baudRate() != rate) {
            chosen->setBaudRate(rate);
        }
    } else {
        showBaudRate(); // nothing to set: show what the port has
    }
}

void MainWindow::showKeys() {
    QMessageBox::information(this, tr("Keys of the Throttle"), keysText());
}

void MainWindow::showAbout() {
    QMessageBox::about(
        this, tr("About DCC Cab"),
        tr("<p><b>DCC Cab</b> %1</p>"
           "<p>A throttle for a DCC command station on a serial line, and a small serial "
           "terminal.</p>"
           "<p>Help \u2192 Keys of the Throttle (F1) lists the keys that drive the "
           "locomotive.</p>")
            .arg(QCoreApplication::applicationVersion()));
}

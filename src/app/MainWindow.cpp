#include "MainWindow.h"

#include "BuiltInStation.h"
#include "DCCController.h"
#include "DCCSpeedEncoding.h"
#include "FunctionPanel.h"
#include "KESSerialPort.h"
#include "KESSerialPortManager.h"
#include "LocomotiveList.h"
#include "PhoneThrottleDialog.h"
#include "PhoneThrottleService.h"
#include "RosterDialog.h"
#include "RosterFile.h"
#include "StationLine.h"
#include "WiThrottleServer.h"
#include "ui_MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTreeWidget>
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
    // Beside the port's state, which changes often, until the problem is dealt with.
    problemLine_ = new QLabel(this);
    problemLine_->setObjectName("problemLine");
    problemLine_->setWordWrap(true);
    problemLine_->setStyleSheet("color: #c62828;");
    problemLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    statusBar()->addWidget(problemLine_, 2);
    problemLine_->hide();

    for (std::uint64_t rate : controller_.availableBaudRates()) {
        ui_->baudRateChooser->addItem(QString::number(rate));
    }
    // Up to seven digits, no leading zero: every rate a serial adapter can be asked for.
    ui_->baudRateChooser->setValidator(new QRegularExpressionValidator(
        QRegularExpression("[1-9][0-9]{0,6}"), ui_->baudRateChooser));

    // Any number of up to five digits: the cab says why one is out of range. Wide enough for
    // five digits whatever the font.
    ui_->addressField->setValidator(
        new QRegularExpressionValidator(QRegularExpression("[0-9]{0,5}"), ui_->addressField));
    ui_->addressField->setMinimumWidth(
        ui_->addressField->fontMetrics().horizontalAdvance(QStringLiteral("000000")) + 16);
    // The sign keeps its place while hidden, so the controls below do not jump.
    QSizePolicy signPolicy = ui_->emergencyStopLabel->sizePolicy();
    signPolicy.setRetainSizeWhenHidden(true);
    ui_->emergencyStopLabel->setSizePolicy(signPolicy);
    ui_->leftSplitter->setStretchFactor(0, 2);
    ui_->leftSplitter->setStretchFactor(1, 1);
    ui_->leftSplitter->setStretchFactor(2, 3);

    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    ui_->sentPacketLabel->setFont(fixed);
    ui_->speedPacketLabel->setFont(fixed);
    ui_->simulatedTrackLabel->setFont(fixed);
    if (station_ != nullptr) {
        simulatedTrackObservation_ =
            station_->addObserver("layout", [this](std::string_view) { showSimulatedTrack(); });
    }

    buildStationControls();
    connectOutlets();
    wireActions();
    followController();
    followThrottle();
    // Before any control: the throttle's keys must win over the controls' own handling.
    QCoreApplication::instance()->installEventFilter(this);
}

MainWindow::~MainWindow() {
    // The address field reports leaving it when the focus goes with the window: nothing to show
    // by then.
    QObject::disconnect(ui_->addressField, nullptr, this, nullptr);
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
    default:
        return functionOfKey(key) >= 0 ? KeyAction::function : KeyAction::none;
    }
}

int MainWindow::functionOfKey(int key) {
    if (key >= Qt::Key_0 && key <= Qt::Key_9) {
        return key - Qt::Key_0;
    }
    return key == Qt::Key_L ? 0 : -1;
}

QString MainWindow::keysText() {
    return tr("<table cellspacing=\"4\">"
              "<tr><td><b>Space</b></td><td>Stop</td></tr>"
              "<tr><td><b>Esc</b></td><td>Emergency stop</td></tr>"
              "<tr><td><b>Up / Down</b></td><td>One speed step faster / slower</td></tr>"
              "<tr><td><b>Page Up / Page Down</b></td>"
              "<td>A seventh of full speed faster / slower</td></tr>"
              "<tr><td><b>D</b></td><td>Change direction</td></tr>"
              "<tr><td><b>0 to 9</b></td><td>Function F0 to F9: on or off, or on while held "
              "(momentary functions such as the horn)</td></tr>"
              "<tr><td><b>L</b></td><td>F0, the headlight, as 0</td></tr>"
              "</table>"
              "<p>The keys work wherever the focus is in the window, except in the send field, "
              "where they type as usual, and in the address and baud-rate fields, where the "
              "digits type. Esc is the emergency stop everywhere.</p>"
              "<p>The buttons F0 to F28 work the shown locomotive's functions, labelled from the "
              "roster (Locomotives, Roster..., Ctrl+R); a button is down while its function is "
              "on.</p>");
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
    controller_.setAddressModeButton(addressModeButton_.get());

    functionPanel_ = new FunctionPanel(controller_, *ui_->functionScrollArea);
    locomotiveList_ = std::make_unique<LocomotiveList>(*ui_->locomotiveList, controller_);
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

    // An address counts once Enter confirms it; leaving the field drops what was typed.
    connect(ui_->addressField, &QLineEdit::returnPressed, this, &MainWindow::takeTypedAddress);
    connect(ui_->addressField, &QLineEdit::editingFinished, this, &MainWindow::showAddress);
    connect(ui_->rosterChooser, &QComboBox::activated, this, &MainWindow::chooseRosterEntry);
    connect(ui_->rosterAction, &QAction::triggered, this, &MainWindow::editRoster);
    connect(ui_->modeChooser, &QComboBox::activated, this,
            [this](int index) { controller_.setSpeedMode(index); });
    connect(ui_->speedSlider, &QSlider::valueChanged, this,
            [this] { controller_.sendSpeedChange(speedControl_.get()); });
    connect(ui_->directionButton, &QPushButton::clicked, this,
            [this] { controller_.sendDirectionChange(directionButton_.get()); });
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
    connect(ui_->dumpAction, &QAction::triggered, this,
            [this] { controller_.sendDump(ui_->dumpAction); });
    connect(ui_->infoAction, &QAction::triggered, this,
            [this] { controller_.dumpInfo(ui_->infoAction); });
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
    portIsOpenObservation_ = follow("portIsOpen", &MainWindow::showTrack);
    stationAnsweringObservation_ = follow("stationIsAnswering", &MainWindow::showTrack);
    directionObservation_ = follow("locoDirection", &MainWindow::showDirection);
    emergencyStopObservation_ = follow("emergencyStopped", &MainWindow::showEmergencyStop);
    rosterObservation_ = follow("roster", &MainWindow::showRoster);
    speedModeObservation_ = controller_.addObserver("speedMode", [this](std::string_view) {
        addressModeButton_->selectItemAtIndex(static_cast<int>(controller_.speedMode()));
        showSpeedStep(); // the top step is the mode's
    });

    showAddress();
    showRoster();
    showSpeed();
    showSpeedStep();
    showDirection();
    showEmergencyStop();
    showSentPacket();
    showSpeedPacketType();
    showTrack();
}

void MainWindow::takeTypedAddress() {
    const QString text = ui_->addressField->text().trimmed();
    if (text.isEmpty()) {
        showAddress();
        return;
    }
    // Refused or taken, the cab announces the address in force, which the field then shows.
    if (controller_.setLocoAddress(text.toLongLong())) {
        // On to driving: the digits are the function keys again once the address is taken.
        ui_->speedSlider->setFocus(Qt::OtherFocusReason);
    }
}

void MainWindow::showAddress() {
    // Also after a refused address: the field goes back to the address in force.
    const QSignalBlocker quiet(ui_->addressField);
    ui_->addressField->setText(QString::number(controller_.locoAddress()));
    const QSignalBlocker quietRoster(ui_->rosterChooser);
    ui_->rosterChooser->setCurrentIndex(
        ui_->rosterChooser->findData(QVariant::fromValue<qlonglong>(controller_.locoAddress())));
    showEmergencyStop();
}

void MainWindow::showRoster() {
    QComboBox& chooser = *ui_->rosterChooser;
    const QSignalBlocker quiet(chooser);
    chooser.clear();
    for (const RosterEntry& entry : controller_.roster().entries()) {
        chooser.addItem(QString::fromStdString(entry.name),
                        QVariant::fromValue<qlonglong>(entry.address));
    }
    chooser.setEnabled(chooser.count() > 0);
    chooser.setCurrentIndex(
        chooser.findData(QVariant::fromValue<qlonglong>(controller_.locoAddress())));
}

void MainWindow::chooseRosterEntry(int index) {
    const QVariant address = ui_->rosterChooser->itemData(index);
    if (address.isValid()) {
        controller_.setLocoAddress(address.toLongLong());
    }
}

void MainWindow::showDirection() {
    const QSignalBlocker quiet(ui_->directionButton);
    ui_->directionButton->setText(controller_.locoDirection() == 1 ? tr("FORWARD") : tr("REVERSE"));
}

void MainWindow::showEmergencyStop() {
    ui_->emergencyStopLabel->setVisible(controller_.isEmergencyStopped());
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

void MainWindow::showTrack() {
    if (!controller_.portIsOpen()) {
        ui_->trackLabel->setText(tr("Track: not connected - commands wait until the port is open"));
    } else if (!controller_.stationIsAnswering()) {
        ui_->trackLabel->setText(
            tr("Track: the command station does not answer - check that it is on"));
    } else {
        ui_->trackLabel->setText(tr("Track: connected"));
    }
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
    // Digits type in every text field (the address, an edited baud rate).
    const bool digit = event.key() >= Qt::Key_0 && event.key() <= Qt::Key_9;
    const auto* box = qobject_cast<const QComboBox*>(focus);
    if (digit &&
        (qobject_cast<QLineEdit*>(focus) != nullptr || (box != nullptr && box->isEditable()))) {
        return false;
    }
    // The release is taken too, so that a focused button never completes a click of its own;
    // a held toggle key flips once, a held function key presses once and releases once.
    const bool press = event.type() == QEvent::KeyPress;
    if (action == KeyAction::function) {
        if (!event.isAutoRepeat()) {
            act(action, functionOfKey(event.key()), press);
        }
    } else if (press && !(event.isAutoRepeat() && action == KeyAction::direction)) {
        act(action, -1, true);
    }
    return true;
}

void MainWindow::act(KeyAction action, int function, bool pressed) {
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
    case KeyAction::function:
        if (pressed) {
            controller_.pressFunction(function);
        } else {
            controller_.releaseFunction(function);
        }
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
    if (simulated) {
        controller_.setStationKind(station_->kind());
    } else if (chosen) {
        applyStationKindOfChosenPort();
    }
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

void MainWindow::buildStationControls() {
    stationChooser_ = new QComboBox(this);
    stationChooser_->setObjectName("stationChooser");
    stationChooser_->setToolTip(tr("The kind of command station on this port; remembered for the "
                                   "port. Choosing one proposes its usual line settings"));
    for (StationKind kind : {StationKind::board, StationKind::dccex, StationKind::sprog}) {
        stationChooser_->addItem(QString::fromUtf8(stationKindTitle(kind).data()),
                                 QString::fromUtf8(stationKindWord(kind).data()));
    }
    auto* stationLabel = new QLabel(tr("S&tation:"), this);
    stationLabel->setBuddy(stationChooser_);
    const int after = ui_->portRow->indexOf(ui_->portChooser) + 1;
    ui_->portRow->insertWidget(after, stationLabel);
    ui_->portRow->insertWidget(after + 1, stationChooser_);
    connect(stationChooser_, &QComboBox::activated, this, [this](int index) {
        if (const auto kind =
                stationKindFromWord(stationChooser_->itemData(index).toString().toStdString())) {
            chooseStationKind(*kind);
        }
    });

    powerButton_ = new QPushButton(tr("Power"), this);
    powerButton_->setObjectName("powerButton");
    powerButton_->setCheckable(true);
    powerButton_->setStyleSheet(
        "QPushButton:checked { background-color: #2e7d32; color: white; font-weight: bold; }");
    ui_->commandGrid->addWidget(powerButton_, 4, 0, 1, 2);
    connect(powerButton_, &QPushButton::clicked, this, [this](bool on) {
        controller_.setTrackPower(on);
        showTrackPower(); // the station's report decides what shows
    });

    // The keyboard's way to the button.
    powerAction_ = ui_->locomotivesMenu->addAction(tr("Track &Power On/Off"));
    powerAction_->setObjectName("powerAction");
    powerAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_P));
    connect(powerAction_, &QAction::triggered, this,
            [this] { controller_.setTrackPower(controller_.trackPower() != TrackPower::on); });

    stationLine_ = new QLabel(this);
    stationLine_->setObjectName("stationLine");
    statusBar()->addPermanentWidget(stationLine_);

    refreshAction_ = ui_->optionsMenu->addAction(tr("Refresh Locomotives on the &Board"));
    refreshAction_->setObjectName("refreshAction");
    refreshAction_->setCheckable(true);
    refreshAction_->setToolTip(tr("Resend the speed and functions of the locomotives in use "
                                  "whenever the board has nothing else to send"));
    connect(refreshAction_, &QAction::toggled, this,
            [this](bool on) { controller_.setRefreshesBoard(on); });

    stationKindObservation_ =
        controller_.addObserver("stationKind", [this](std::string_view) { showStationKind(); });
    trackPowerObservation_ =
        controller_.addObserver("trackPower", [this](std::string_view) { showTrackPower(); });
    stationVersionObservation_ =
        controller_.addObserver("stationVersion", [this](std::string_view) { showTrackPower(); });
    refreshObservation_ = controller_.addObserver("refreshesBoard", [this](std::string_view) {
        const QSignalBlocker blocker(refreshAction_);
        refreshAction_->setChecked(controller_.refreshesBoard());
    });
    showStationKind();
}

QString MainWindow::keyOfChosenPort() const {
    const std::shared_ptr<KESSerialPort>& chosen = controller_.serialPort();
    if (!chosen) {
        return {};
    }
    return station_ != nullptr && chosen == station_->port()
               ? QString::fromUtf8(WindowSettings::simulatedPortKey)
               : WindowSettings::keyOfPort(*chosen);
}

void MainWindow::applyStationKindOfChosenPort() {
    const auto found = stationKinds_.find(keyOfChosenPort());
    const std::optional<StationKind> kind = found == stationKinds_.end()
                                                ? std::nullopt
                                                : stationKindFromWord(found->second.toStdString());
    if (kind.value_or(StationKind::board) != controller_.stationKind()) {
        controller_.setStationKind(kind.value_or(StationKind::board));
    }
}

void MainWindow::chooseStationKind(StationKind kind) {
    const QString key = keyOfChosenPort();
    if (!key.isEmpty()) {
        stationKinds_[key] = QString::fromUtf8(stationKindWord(kind).data());
    }
    const std::shared_ptr<KESSerialPort> chosen = controller_.serialPort();
    const bool simulated = station_ != nullptr && chosen && chosen == station_->port();
    if (simulated && station_->kind() != kind) {
        // The simulated station becomes one of the kind chosen, on a line of its own.
        const bool wasOpen = chosen->isOpen();
        controller_.setSerialPort(nullptr);
        station_->setKind(kind);
        std::string why;
        const std::shared_ptr<KESSerialPort> port = station_->start(&why);
        controller_.setSerialPort(port);
        controller_.setStationKind(kind);
        if (!port) {
            showProblem(tr("The simulated command station cannot start (%1)")
                            .arg(QString::fromStdString(why)));
        } else if (wasOpen) {
            controller_.openOrClosePort(nullptr);
        }
        return;
    }
    controller_.setStationKind(kind);
    if (chosen && !simulated) {
        proposeStationLine(*chosen, kind);
    }
}

void MainWindow::showStationKind() {
    const int index = stationChooser_->findData(
        QString::fromUtf8(stationKindWord(controller_.stationKind()).data()));
    const QSignalBlocker blocker(stationChooser_);
    stationChooser_->setCurrentIndex(index);
    refreshAction_->setEnabled(controller_.stationKind() == StationKind::board);
    showTrackPower();
}

void MainWindow::showTrackPower() {
    const bool switches = controller_.stationSwitchesPower();
    const TrackPower power = controller_.trackPower();
    powerButton_->setEnabled(switches);
    powerAction_->setEnabled(switches);
    {
        const QSignalBlocker blocker(powerButton_);
        powerButton_->setChecked(power == TrackPower::on);
    }
    QString state;
    switch (power) {
    case TrackPower::on:
        state = tr("Power: on");
        break;
    case TrackPower::off:
        state = tr("Power: off");
        break;
    case TrackPower::unknown:
        state = tr("Power: unknown");
        break;
    }
    powerButton_->setText(switches ? state : tr("Power (switched at the board)"));
    powerButton_->setToolTip(switches ? tr("Switch track power on or off (Ctrl+Shift+P); shows "
                                           "what the station reports")
                                      : tr("The command-station board has no power command"));
    QString line = QString::fromUtf8(stationKindTitle(controller_.stationKind()).data());
    if (!controller_.stationVersion().empty()) {
        line = QString::fromStdString(controller_.stationVersion());
    }
    if (switches) {
        line += QStringLiteral(" · ") + state;
    }
    stationLine_->setText(line);
}

void MainWindow::setPhoneThrottles(PhoneThrottleService* service) {
    phones_ = service;
    if (phones_ == nullptr) {
        return;
    }
    QAction* action = ui_->optionsMenu->addAction(tr("Phone &Throttles (WiThrottle)..."));
    action->setObjectName("phoneThrottlesAction");
    connect(action, &QAction::triggered, this, [this] { showPhoneThrottles(); });
    phonesLine_ = new QLabel(this);
    phonesLine_->setObjectName("phonesLine");
    statusBar()->addPermanentWidget(phonesLine_);
    auto show = [this] {
        const WiThrottleServer* server = phones_->server();
        phonesLine_->setVisible(phones_->isServing());
        const std::size_t count = server != nullptr ? server->connections().size() : 0;
        phonesLine_->setText(
            tr("Phones: %1 · %2").arg(count).arg(QString::fromStdString(phones_->reachableAt())));
        phonesLine_->setToolTip(QString::fromStdString(phones_->statusText()));
    };
    phonesObservation_ = phones_->addObserver("connections", [show](std::string_view) { show(); });
    show();
}

void MainWindow::showPhoneThrottles() {
    if (phones_ == nullptr) {
        return;
    }
    if (phonesDialog_ == nullptr) {
        phonesDialog_ = new PhoneThrottleDialog(*phones_, controller_, this);
    }
    phonesDialog_->show();
    phonesDialog_->raise();
    phonesDialog_->activateWindow();
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

WindowSettings MainWindow::settings() const {
    WindowSettings settings;
    const std::shared_ptr<KESSerialPort>& chosen = controller_.serialPort();
    if (chosen) {
        settings.port = station_ != nullptr && chosen == station_->port()
                            ? QString::fromUtf8(WindowSettings::simulatedPortKey)
                            : WindowSettings::keyOfPort(*chosen);
        settings.baudRate = chosen->baudRate();
    }
    settings.reconnectsAfterReplug = controller_.reconnectsAfterReplug();
    const QRect normal = isMaximized() ? normalGeometry() : geometry();
    settings.windowSize = normal.size();
    settings.windowPosition = isMaximized() ? normal.topLeft() : pos();
    settings.maximized = isMaximized();
    settings.locoAddress = controller_.locoAddress();
    settings.stationKinds = stationKinds_;
    if (const QString key = keyOfChosenPort(); !key.isEmpty()) {
        settings.stationKinds[key] =
            QString::fromUtf8(stationKindWord(controller_.stationKind()).data());
    }
    settings.refreshesBoard = controller_.refreshesBoard();
    if (phones_ != nullptr) {
        const PhoneThrottleService::Options& options = phones_->options();
        settings.phonesEnabled = options.enabled;
        settings.phonesPort = options.port;
        settings.phonesHeartbeat = static_cast<std::uint64_t>(options.heartbeat.count());
        settings.phonesMax = options.maxPhones;
        settings.layoutName = QString::fromStdString(options.layoutName);
    }
    return settings;
}

void MainWindow::restoreSettings(const WindowSettings& settings) {
    if (settings.reconnectsAfterReplug) {
        controller_.setReconnectsAfterReplug(*settings.reconnectsAfterReplug);
    }
    if (settings.refreshesBoard) {
        controller_.setRefreshesBoard(*settings.refreshesBoard);
    }
    stationKinds_ = settings.stationKinds;
    applyStationKindOfChosenPort();
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect available = screen != nullptr ? screen->availableGeometry() : QRect();
    QSize size = settings.windowSize.value_or(this->size());
    if (available.isValid()) {
        size = size.boundedTo(available.size()); // a smaller screen than last time
    }
    resize(size.expandedTo(minimumSizeHint()));
    if (settings.windowPosition) {
        for (const QScreen* shown : QGuiApplication::screens()) {
            if (shown->availableGeometry().contains(*settings.windowPosition)) {
                move(*settings.windowPosition);
                break;
            }
        }
    }
    if (settings.maximized) {
        setWindowState(windowState() | Qt::WindowMaximized);
    }
}

void MainWindow::showProblem(const QString& problem) {
    problemLine_->setText(problem);
    problemLine_->setVisible(!problem.isEmpty());
}

void MainWindow::editRoster() {
    RosterDialog dialog(controller_.roster(), this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    controller_.setRoster(dialog.roster());
    std::string why;
    const std::string path = RosterFile::defaultPath();
    if (path.empty()) {
        why = "The roster could not be saved: the system names no folder for the program's data.";
    }
    if (path.empty() || !RosterFile::save(controller_.roster(), path, &why)) {
        QMessageBox::warning(this, tr("Roster Not Saved"),
                             tr("%1\n\nThe roster is in use until the program ends.")
                                 .arg(QString::fromStdString(why)));
        return;
    }
    showProblem({}); // a problem with the roster read at start is dealt with
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

#include "MainWindow.h"

#include "KESSerialPort.h"
#include "KESSerialPortDemoController.h"
#include "KESSerialPortManager.h"
#include "ui_MainWindow.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QStatusBar>
#include <charconv>

MainWindow::MainWindow(KESSerialPortDemoController& controller, QWidget* parent)
    : QMainWindow(parent), controller_(controller), ui_(std::make_unique<Ui::MainWindow>()) {
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

    connectOutlets();
    wireActions();
    followController();
}

MainWindow::~MainWindow() {
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
    sendTextField_ = std::make_unique<QtTextField>(*ui_->sendTextField);
    openCloseButton_ = std::make_unique<QtButton>(*ui_->openCloseButton);
    controller_.setReceivedDataTextView(receivedDataTextView_.get());
    controller_.setSendTextField(sendTextField_.get());
    controller_.setOpenCloseButton(openCloseButton_.get());
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
    chooser.setEnabled(!listedPorts_.empty());
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
    ui_->portChooser->setCurrentIndex(index);

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
    }
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

void MainWindow::showAbout() {
    QMessageBox::about(
        this, tr("About DCC Cab"),
        tr("<p><b>DCC Cab</b> %1</p>"
           "<p>A throttle for a DCC command station on a serial line, and a small serial "
           "terminal.</p>")
            .arg(QCoreApplication::applicationVersion()));
}

#include "PhoneThrottleDialog.h"

#include "DCCController.h"
#include "PhoneThrottleService.h"
#include "WiThrottleServer.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr int connectionRole = Qt::UserRole;
constexpr int addressRole = Qt::UserRole + 1;

} // namespace

PhoneThrottleDialog::PhoneThrottleDialog(PhoneThrottleService& service, DCCController& cab,
                                         QWidget* parent)
    : QDialog(parent), service_(service), cab_(cab) {
    setWindowTitle(tr("Phone Throttles (WiThrottle)"));
    setObjectName("phoneThrottleDialog");
    auto* layout = new QVBoxLayout(this);

    enabled_ = new QCheckBox(tr("&Serve phone throttles (Engine Driver, WiThrottle)"), this);
    enabled_->setObjectName("phonesEnabled");
    layout->addWidget(enabled_);
    auto* warning = new QLabel(tr("The WiThrottle protocol has no password: anyone on this "
                                  "network can drive your trains. Turn it on only on a network "
                                  "you trust."),
                               this);
    warning->setWordWrap(true);
    layout->addWidget(warning);

    auto* form = new QFormLayout();
    port_ = new QSpinBox(this);
    port_->setObjectName("phonesPort");
    port_->setRange(0, 65535);
    port_->setSpecialValueText(tr("any free port"));
    form->addRow(tr("&Port:"), port_);
    heartbeat_ = new QSpinBox(this);
    heartbeat_->setObjectName("phonesHeartbeat");
    heartbeat_->setRange(1, 3600);
    heartbeat_->setSuffix(tr(" s"));
    heartbeat_->setToolTip(tr("A phone silent for longer has its locomotives emergency-stopped; "
                              "three times as long, and it is disconnected"));
    form->addRow(tr("&Heartbeat:"), heartbeat_);
    maxPhones_ = new QSpinBox(this);
    maxPhones_->setObjectName("phonesMax");
    maxPhones_->setRange(1, 256);
    maxPhones_->setToolTip(tr("Each phone beyond these is told why and turned away"));
    form->addRow(tr("&Most phones:"), maxPhones_);
    layoutName_ = new QLineEdit(this);
    layoutName_->setObjectName("phonesLayoutName");
    layoutName_->setPlaceholderText(QString::fromStdString(service_.layoutName()));
    form->addRow(tr("&Layout name:"), layoutName_);
    layout->addLayout(form);

    status_ = new QLabel(this);
    status_->setObjectName("phonesStatus");
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(status_);

    phones_ = new QTreeWidget(this);
    phones_->setObjectName("phonesList");
    phones_->setHeaderLabels({tr("Phone"), tr("Address"), tr("Locomotive")});
    layout->addWidget(phones_, 1);
    takeAway_ = new QPushButton(tr("&Take Away"), this);
    takeAway_->setObjectName("takeAwayButton");
    takeAway_->setToolTip(tr("Release the chosen locomotive from its phone; it keeps running as "
                             "it was"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(takeAway_, QDialogButtonBox::ActionRole);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(takeAway_, &QPushButton::clicked, this, [this] { takeAway(); });
    connect(phones_, &QTreeWidget::itemSelectionChanged, this, [this] {
        const auto selected = phones_->selectedItems();
        takeAway_->setEnabled(!selected.isEmpty() &&
                              selected.front()->data(0, addressRole).isValid());
    });

    showOptions();
    connect(enabled_, &QCheckBox::toggled, this, [this] { applyFields(); });
    connect(port_, &QSpinBox::editingFinished, this, [this] { applyFields(); });
    connect(heartbeat_, &QSpinBox::editingFinished, this, [this] { applyFields(); });
    connect(maxPhones_, &QSpinBox::editingFinished, this, [this] { applyFields(); });
    connect(layoutName_, &QLineEdit::editingFinished, this, [this] { applyFields(); });
    statusObservation_ =
        service_.addObserver("statusText", [this](std::string_view) { showStatus(); });
    connectionsObservation_ =
        service_.addObserver("connections", [this](std::string_view) { showConnections(); });
    showStatus();
    showConnections();
}

PhoneThrottleDialog::~PhoneThrottleDialog() = default;

void PhoneThrottleDialog::showOptions() {
    const PhoneThrottleService::Options& options = service_.options();
    const QSignalBlocker a(enabled_);
    const QSignalBlocker b(port_);
    const QSignalBlocker c(heartbeat_);
    const QSignalBlocker d(layoutName_);
    const QSignalBlocker e(maxPhones_);
    maxPhones_->setValue(static_cast<int>(options.maxPhones));
    enabled_->setChecked(options.enabled);
    port_->setValue(options.port);
    heartbeat_->setValue(static_cast<int>(options.heartbeat.count()));
    layoutName_->setText(QString::fromStdString(options.layoutName));
}

void PhoneThrottleDialog::applyFields() {
    PhoneThrottleService::Options options;
    options.enabled = enabled_->isChecked();
    options.port = static_cast<std::uint16_t>(port_->value());
    options.heartbeat = std::chrono::seconds(heartbeat_->value());
    options.maxPhones = static_cast<std::size_t>(maxPhones_->value());
    options.layoutName = layoutName_->text().trimmed().toStdString();
    if (options != service_.options()) {
        service_.apply(options);
    }
}

void PhoneThrottleDialog::showStatus() {
    status_->setText(QString::fromStdString(service_.statusText()));
}

void PhoneThrottleDialog::showConnections() {
    phones_->clear();
    WiThrottleServer* server = service_.server();
    if (server == nullptr) {
        takeAway_->setEnabled(false);
        return;
    }
    for (const WiThrottleServer::Connection& connection : server->connections()) {
        auto* phone = new QTreeWidgetItem(phones_);
        phone->setText(0, QString::fromStdString(connection.name.empty()
                                                     ? tr("(no name yet)").toStdString()
                                                     : connection.name));
        phone->setText(1, QString::fromStdString(connection.peer));
        for (const auto& [throttle, addresses] : connection.throttles) {
            for (const std::int64_t address : addresses) {
                auto* loco = new QTreeWidgetItem(phone);
                const std::string name = cab_.locomotiveName(address);
                loco->setText(2, QString::fromStdString(
                                     std::to_string(address) + (name.empty() ? "" : " " + name) +
                                     " (throttle " + std::string(1, throttle) + ")"));
                loco->setData(0, connectionRole, QVariant::fromValue<qulonglong>(connection.id));
                loco->setData(0, addressRole, QVariant::fromValue<qlonglong>(address));
            }
        }
        phone->setExpanded(true);
    }
    takeAway_->setEnabled(false);
}

void PhoneThrottleDialog::takeAway() {
    const auto selected = phones_->selectedItems();
    WiThrottleServer* server = service_.server();
    if (selected.isEmpty() || server == nullptr) {
        return;
    }
    const QVariant address = selected.front()->data(0, addressRole);
    if (address.isValid()) {
        server->takeAway(selected.front()->data(0, connectionRole).toULongLong(),
                         address.toLongLong());
    }
}

#include "PhoneThrottleService.h"

#include "Log.h"
#include "ServiceAnnouncer.h"
#include "WiThrottleServer.h"
#include "WiThrottleTcpServer.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>

namespace {

constexpr const char* serviceType = "_withrottle._tcp";

// The machine's own addresses a phone on the local network can type: IPv4, not loopback.
std::string addressesToType(std::uint16_t port) {
    std::string text;
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback()) {
            text += (text.empty() ? "" : ", ") + address.toString().toStdString() + ":" +
                    std::to_string(port);
        }
    }
    return text.empty() ? "port " + std::to_string(port) : text;
}

} // namespace

PhoneThrottleService::PhoneThrottleService(DCCController& cab,
                                           std::unique_ptr<ServiceAnnouncer> announcer)
    : cab_(cab), announcer_(std::move(announcer)) {
    if (announcer_) {
        announcer_->setDelegate(this);
    }
    statusText_ = "Phone throttles are off";
}

PhoneThrottleService::~PhoneThrottleService() {
    connectionsObservation_.reset();
    if (announcer_) {
        announcer_->withdraw();
        announcer_->setDelegate(nullptr);
    }
    tcp_.reset();
}

bool PhoneThrottleService::isServing() const {
    return tcp_ != nullptr && tcp_->isListening();
}

std::uint16_t PhoneThrottleService::port() const {
    return tcp_ ? tcp_->port() : 0;
}

std::string PhoneThrottleService::reachableAt() const {
    return isServing() ? addressesToType(tcp_->port()) : std::string();
}

WiThrottleServer* PhoneThrottleService::server() {
    return tcp_ ? &tcp_->server() : nullptr;
}

std::string PhoneThrottleService::layoutName() const {
    if (!options_.layoutName.empty()) {
        return options_.layoutName;
    }
    const std::string host = QHostInfo::localHostName().toStdString();
    return host.empty() ? "DCC Cab" : host;
}

bool PhoneThrottleService::apply(const Options& options) {
    const Options before = options_;
    options_ = options;
    WiThrottleSettings settings;
    settings.heartbeat = options.heartbeat;
    settings.maxConnections = options.maxPhones;
    settings.description = "DCC Cab, " + layoutName();
    bool ok = true;
    if (!options.enabled) {
        if (announcer_) {
            announcer_->withdraw();
        }
        connectionsObservation_.reset();
        tcp_.reset(); // every phone is told nothing more; unshared locomotives stop
        statusText_ = "Phone throttles are off";
    } else {
        if (!tcp_) {
            tcp_ = std::make_unique<WiThrottleTcpServer>(cab_, settings);
            connectionsObservation_ = tcp_->server().addObserver(
                "connections", [this](std::string_view) { didChangeValueForKey("connections"); });
        } else {
            tcp_->server().setSettings(settings);
        }
        if (!tcp_->isListening() || before.port != options.port) {
            std::string why;
            ok = tcp_->start(options.port, &why);
            if (!ok) {
                statusText_ = "Phone throttles cannot start: " + why;
                Log::line(statusText_);
            }
        }
        if (ok && announcer_ &&
            (announcer_->state() == ServiceAnnouncer::State::withdrawn ||
             before.port != options.port || before.layoutName != options.layoutName)) {
            announcer_->announce(layoutName(), serviceType, tcp_->port(), {});
        }
        if (ok) {
            describe(announcer_ ? "" : "not announced on the network");
        }
    }
    didChangeValueForKey("isServing");
    didChangeValueForKey("statusText");
    didChangeValueForKey("connections");
    return ok;
}

void PhoneThrottleService::describe(const std::string& announcement) {
    if (!isServing()) {
        return;
    }
    statusText_ = "Phones connect to " + addressesToType(tcp_->port());
    if (!announcement.empty()) {
        statusText_ += " (" + announcement + ")";
    }
    didChangeValueForKey("statusText");
}

void PhoneThrottleService::serviceAnnouncerDidAnnounce(ServiceAnnouncer&, const std::string& name) {
    Log::line("Phone throttles announced on the network as \"" + name + "\"");
    describe("found on the network as \"" + name + "\"");
}

void PhoneThrottleService::serviceAnnouncerDidRename(ServiceAnnouncer&,
                                                     const std::string& takenName,
                                                     const std::string& newName) {
    Log::line("The name \"" + takenName + "\" is taken on the network; announcing as \"" + newName +
              "\"");
}

void PhoneThrottleService::serviceAnnouncerDidFail(ServiceAnnouncer&, const std::string& reason) {
    Log::line("Phone throttles are not announced on the network: " + reason);
    describe("not announced: " + reason);
}

void PhoneThrottleService::serviceAnnouncerFoundNoResponder(ServiceAnnouncer&,
                                                            const std::string& reason) {
    if (!noResponderLogged_) {
        noResponderLogged_ = true;
        Log::line(reason);
    }
    describe("not announced: no mDNS responder; type the address in the phone");
}

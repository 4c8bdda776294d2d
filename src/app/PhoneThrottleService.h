#pragma once

#include "Observable.h"
#include "ServiceAnnouncerDelegate.h"
#include "WiThrottleSettings.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class DCCController;
class ServiceAnnouncer;
class WiThrottleServer;
class WiThrottleTcpServer;

// Phone throttles as the program offers them: the WiThrottle server on TCP (WiThrottleTcpServer)
// on the one cab, announced on the local network as "_withrottle._tcp" under the layout's name
// by a ServiceAnnouncer. Off until turned on; the window and the headless mode both use it.
//
// Without a responder (no Avahi) the server runs all the same: phones connect by address and
// port, and the log says so once. statusText says in words what runs and where phones can reach
// it, or why it does not run.
//
// Threading: main thread only, with a running Qt event loop. Ownership: the cab is not owned and
// must outlive the service; the announcer (may be null: nothing announced) and the server are
// owned. Observable keys: "statusText", "isServing", "connections" (the server's list changed).
class PhoneThrottleService : public Observable, private ServiceAnnouncerDelegate {
public:
    struct Options {
        bool enabled = false;
        std::uint16_t port = 12090;
        std::chrono::seconds heartbeat{10};
        // The most phones connected at once; each further one is told why and closed.
        std::size_t maxPhones = 32;
        // The name phones see; empty: the machine's host name.
        std::string layoutName;

        bool operator==(const Options&) const = default;
    };

    PhoneThrottleService(DCCController& cab, std::unique_ptr<ServiceAnnouncer> announcer);
    ~PhoneThrottleService() override;
    PhoneThrottleService(const PhoneThrottleService&) = delete;
    PhoneThrottleService& operator=(const PhoneThrottleService&) = delete;

    const Options& options() const { return options_; }
    // Takes options: starts, stops, or restarts the server (a new port closes the connections) and
    // the announcement as they need. False when the server was asked to run and cannot; then
    // statusText says why.
    bool apply(const Options& options);

    bool isServing() const;
    std::uint16_t port() const;
    const std::string& statusText() const { return statusText_; }
    // Where a phone on the local network connects: this machine's addresses with the port
    // ("192.168.1.20:12090"), or "port N" when it has none but loopback; empty while not serving.
    std::string reachableAt() const;
    // The layout's name as announced: the option's, or the host name.
    std::string layoutName() const;

    // The sessions, for the list of phones; null while not serving.
    WiThrottleServer* server();

private:
    void serviceAnnouncerDidAnnounce(ServiceAnnouncer& announcer, const std::string& name) override;
    void serviceAnnouncerDidRename(ServiceAnnouncer& announcer, const std::string& takenName,
                                   const std::string& newName) override;
    void serviceAnnouncerDidFail(ServiceAnnouncer& announcer, const std::string& reason) override;
    void serviceAnnouncerFoundNoResponder(ServiceAnnouncer& announcer,
                                          const std::string& reason) override;
    void describe(const std::string& announcement);

    DCCController& cab_;
    std::unique_ptr<ServiceAnnouncer> announcer_;
    std::unique_ptr<WiThrottleTcpServer> tcp_;
    Subscription connectionsObservation_;
    Options options_;
    std::string statusText_;
    bool noResponderLogged_ = false;
};

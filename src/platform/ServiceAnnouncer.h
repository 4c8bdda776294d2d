#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ServiceAnnouncerDelegate;

// Makes one service findable on the local network by multicast DNS (DNS-SD): a name, a type such
// as "_withrottle._tcp", a TCP port on this machine and TXT records, until it is withdrawn.
//
// The responder that answers for the machine may be absent, and that is no error: the service is
// then only reachable by address and port, and the announcer says so once. The program makes an
// AvahiServiceAnnouncer (D-Bus).
//
// Main thread only. announce and withdraw never call back before they return: every outcome is
// reported to the delegate later, from the main thread's event loop, and the state below changes
// with the report. One announcement at a time: announce withdraws the one before it, and nothing
// more is reported about that one.
class ServiceAnnouncer {
public:
    enum class State {
        withdrawn,   // nothing announced (the start, and after withdraw)
        registering, // asked for, not yet confirmed; also while trying again under a new name
        announced,   // on the network under name()
        failed,      // the responder refused it; tried again only by a restarted responder
        noResponder, // no responder to ask; tried again should one start
    };

    virtual ~ServiceAnnouncer() = default;
    ServiceAnnouncer(const ServiceAnnouncer&) = delete;
    ServiceAnnouncer& operator=(const ServiceAnnouncer&) = delete;

    ServiceAnnouncerDelegate* delegate() const { return delegate_; }
    void setDelegate(ServiceAnnouncerDelegate* delegate) { delegate_ = delegate; }

    State state() const { return state_; }
    // The name asked for, or the one it was renamed to after a collision; empty once withdrawn.
    const std::string& name() const { return name_; }

    // Announces name (UTF-8, at most 63 bytes) of type on port, with txtRecords ("key=value"
    // each, in order). The state is registering when this returns.
    virtual void announce(const std::string& name, const std::string& type, std::uint16_t port,
                          const std::vector<std::string>& txtRecords) = 0;
    // Takes the announcement off the network; nothing more is reported about it. Does nothing
    // when nothing is announced.
    virtual void withdraw() = 0;

protected:
    ServiceAnnouncer() = default;

    // For implementations, main thread. Each sets the state; the reports then tell the delegate,
    // last, so the delegate may announce or withdraw from inside its callback.
    void beginRegistering(const std::string& name);
    void endAnnouncement();
    void reportAnnounced();
    void reportRenamed(const std::string& newName);
    void reportFailed(const std::string& reason);
    void reportNoResponder(const std::string& reason);

private:
    ServiceAnnouncerDelegate* delegate_ = nullptr;
    State state_ = State::withdrawn;
    std::string name_;
};

#pragma once

#include <string>

class ServiceAnnouncer;

// What a service announcer tells its user about the announcement it was given.
//
// Main thread only, from the event loop, never inside announce or withdraw. The announcer's
// state() already says what is reported. The announcer never owns its delegate: a delegate that
// goes away first must set the announcer's delegate to null.
class ServiceAnnouncerDelegate {
public:
    // The service is on the network under name (the one asked for, or the latest new one).
    virtual void serviceAnnouncerDidAnnounce(ServiceAnnouncer& announcer,
                                             const std::string& name) = 0;
    // Another service on the network has takenName: the announcer tries again under newName.
    virtual void serviceAnnouncerDidRename(ServiceAnnouncer& announcer,
                                           const std::string& takenName,
                                           const std::string& newName) = 0;
    // The responder refused the service; reason in words, for the log or the window.
    virtual void serviceAnnouncerDidFail(ServiceAnnouncer& announcer,
                                         const std::string& reason) = 0;
    // There is no responder to announce through; reason in words, meant to be logged once.
    virtual void serviceAnnouncerFoundNoResponder(ServiceAnnouncer& announcer,
                                                  const std::string& reason) = 0;

protected:
    ~ServiceAnnouncerDelegate() = default;
};

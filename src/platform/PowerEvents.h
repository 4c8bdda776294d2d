#pragma once

// The system's sleep and wake, announced on the default NotificationCenter as
// willSleepNotification (before the machine suspends) and didWakeNotification (after it
// resumes), both posted on the main thread with the source as sender and no user info.
//
// Subscribers to willSleepNotification run synchronously inside the post, and the machine does
// not suspend before the post has returned: that is when ports are closed. The program makes a
// LogindPowerEvents; tests use a TestPowerEvents they fire by hand.
class PowerEvents {
public:
    static constexpr const char* willSleepNotification = "SystemWillSleepNotification";
    static constexpr const char* didWakeNotification = "SystemDidWakeNotification";

    virtual ~PowerEvents() = default;
    PowerEvents(const PowerEvents&) = delete;
    PowerEvents& operator=(const PowerEvents&) = delete;

protected:
    PowerEvents() = default;
    // Main thread. Post the notifications; all subscribers have run when they return.
    void postWillSleep();
    void postDidWake();
};

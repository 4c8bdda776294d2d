#pragma once

#include "DesktopNotifier.h"
#include "UserNotification.h"

#include <cstdint>
#include <memory>
#include <vector>

// The test desktop: keeps what it is shown and withdrawn, and installs itself for its lifetime.
// Each notification gets the next identifier (1, 2, ...); the delivery is reported to the
// delegate through the main queue, as the desktop's answer would be, so a test sees it when it
// drains its TestMainQueue. A notification the delegate declines to present is not shown.
//
// Main thread only.
class TestDesktopNotifier : public DesktopNotifier {
public:
    TestDesktopNotifier();
    ~TestDesktopNotifier() override;

    void deliverNotification(const UserNotification& notification) override;
    void removeDeliveredNotification(const UserNotification& notification) override;

    // Shown so far, in order, with their identifiers; withdrawn ones included.
    const std::vector<UserNotification>& delivered() const { return delivered_; }
    // Identifiers withdrawn, in order.
    const std::vector<std::uint32_t>& removed() const { return removed_; }

private:
    DesktopNotifier* replaced_;
    std::uint32_t nextIdentifier_ = 1;
    std::vector<UserNotification> delivered_;
    std::vector<std::uint32_t> removed_;
    // Ends with the notifier: a queued delivery report that outlives it is dropped.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

#include "TestDesktopNotifier.h"

#include "DesktopNotifierDelegate.h"
#include "MainQueue.h"

TestDesktopNotifier::TestDesktopNotifier() : replaced_(DesktopNotifier::install(this)) {}

TestDesktopNotifier::~TestDesktopNotifier() {
    DesktopNotifier::install(replaced_);
}

void TestDesktopNotifier::deliverNotification(const UserNotification& notification) {
    if (delegate() != nullptr &&
        !delegate()->userNotificationCenterShouldPresentNotification(*this, notification)) {
        return;
    }
    UserNotification shown = notification;
    shown.identifier = nextIdentifier_++;
    delivered_.push_back(shown);
    MainQueue::shared().async([this, shown, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.lock() && delegate() != nullptr) {
            delegate()->userNotificationCenterDidDeliverNotification(*this, shown);
        }
    });
}

void TestDesktopNotifier::removeDeliveredNotification(const UserNotification& notification) {
    removed_.push_back(notification.identifier);
}

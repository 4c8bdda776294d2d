#include "PowerEvents.h"

#include "MainQueue.h"
#include "NotificationCenter.h"

void PowerEvents::postWillSleep() {
    DCCCAB_ASSERT_MAIN_THREAD();
    NotificationCenter::defaultCenter().postNotificationName(willSleepNotification, this);
}

void PowerEvents::postDidWake() {
    DCCCAB_ASSERT_MAIN_THREAD();
    NotificationCenter::defaultCenter().postNotificationName(didWakeNotification, this);
}

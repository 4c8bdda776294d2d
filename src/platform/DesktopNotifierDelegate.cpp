#include "DesktopNotifierDelegate.h"

bool DesktopNotifierDelegate::userNotificationCenterShouldPresentNotification(
    DesktopNotifier&, const UserNotification&) {
    return true;
}

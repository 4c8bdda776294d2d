#include "DesktopNotifier.h"

namespace {
DesktopNotifier* installedNotifier = nullptr;
}

DesktopNotifier* DesktopNotifier::defaultUserNotificationCenter() {
    return installedNotifier;
}

DesktopNotifier* DesktopNotifier::install(DesktopNotifier* notifier) {
    DesktopNotifier* replaced = installedNotifier;
    installedNotifier = notifier;
    return replaced;
}

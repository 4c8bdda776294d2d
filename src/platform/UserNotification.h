#pragma once

#include <cstdint>
#include <optional>
#include <string>

// One desktop notification: a title, a line of text under it, and a sound (none: silent).
// identifier is 0 until a DesktopNotifier has delivered it; the delivered copy it hands back
// carries the desktop's identifier, by which it is withdrawn.
struct UserNotification {
    std::string title;
    std::string informativeText;
    std::optional<std::string> soundName;
    std::uint32_t identifier = 0;
};

#include "ModemLines.h"

#include "MissingService.h"

#include <atomic>

namespace {
std::atomic<ModemLines*> installed{nullptr};
}

ModemLines& ModemLines::shared() {
    ModemLines* lines = installed.load();
    if (lines == nullptr) {
        missingService("ModemLines::shared()", "modem-line service",
                       "a TestModemLines, or TerminalModemLines (the test main does)");
    }
    return *lines;
}

ModemLines* ModemLines::install(ModemLines* lines) {
    return installed.exchange(lines);
}

#include "ModemLines.h"

#include "TerminalModemLines.h"

#include <atomic>

namespace {
std::atomic<ModemLines*> installed{nullptr};
}

ModemLines& ModemLines::shared() {
    static TerminalModemLines terminal;
    ModemLines* lines = installed.load();
    return lines != nullptr ? *lines : static_cast<ModemLines&>(terminal);
}

ModemLines* ModemLines::install(ModemLines* lines) {
    return installed.exchange(lines);
}

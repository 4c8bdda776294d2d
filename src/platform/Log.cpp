#include "Log.h"

#include "SystemLog.h"

#include <atomic>

namespace {
std::atomic<Log*> installed{nullptr};
}

void Log::line(std::string_view line) {
    static SystemLog systemLog;
    Log* log = installed.load();
    (log != nullptr ? *log : static_cast<Log&>(systemLog)).write(line);
}

Log* Log::install(Log* log) {
    return installed.exchange(log);
}

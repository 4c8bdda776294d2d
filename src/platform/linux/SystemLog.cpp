#include "SystemLog.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <syslog.h>
#include <unistd.h>

extern char* program_invocation_short_name; // glibc

std::string SystemLog::stamped(std::string_view line) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char prefix[96];
    std::snprintf(prefix, sizeof prefix, "%s.%03d %s[%d] ", stamp, static_cast<int>(millis),
                  program_invocation_short_name, static_cast<int>(::getpid()));
    return std::string(prefix).append(line);
}

void SystemLog::write(std::string_view line) {
    // One fputs per line, so lines from several threads do not interleave.
    const std::string text = stamped(line) + '\n';
    std::fputs(text.c_str(), stderr);
    ::syslog(LOG_NOTICE, "%.*s", static_cast<int>(line.size()), line.data());
}

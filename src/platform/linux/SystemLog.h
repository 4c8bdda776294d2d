#pragma once

#include "Log.h"

// The production log: each line goes to standard error with a local time stamp and the program
// name, and to syslog(3). Any thread.
class SystemLog : public Log {
public:
    void write(std::string_view line) override;

    // The standard-error form of line at the present time, without the final line feed.
    static std::string stamped(std::string_view line);
};

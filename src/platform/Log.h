#pragma once

#include <string>
#include <string_view>

// The platform log: one diagnostic line per call, for people reading the system's logs. The
// serial port, the port manager and the panel write here; the packet core prints to standard
// output instead.
//
// Any thread may write. The program installs SystemLog at start-up (SystemServices); the test
// main installs a log to standard error, and tests that read the lines install a RecordingLog.
class Log {
public:
    virtual ~Log() = default;
    virtual void write(std::string_view line) = 0;

    // Writes line to the installed log. With none installed this is a programming error: a
    // message that names the missing service on standard error, then abort.
    static void line(std::string_view line);
    // Installs log for the whole process and returns the one it replaces (null: none). Call it
    // on the main thread while no background thread logs.
    static Log* install(Log* log);
};

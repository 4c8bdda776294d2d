#pragma once

#include "InstalledService.h"
#include "Log.h"
#include "TerminalModemLines.h"

// What every test executable's main installs before the first test and keeps to the end: the
// machine's terminal modem lines and a log that writes stamped lines to standard error (never to
// the system log). Fixtures install their own doubles over them (TestModemLines, RecordingLog) for
// as long as they live.
//
// No device registry: a test that lists devices installs a TestDeviceRegistry, or a
// UdevDeviceRegistry when it means the machine's own devices. No main queue: fixtures install
// theirs.
//
// Main thread, both ends.
class TestServices {
public:
    TestServices();
    ~TestServices();
    TestServices(const TestServices&) = delete;
    TestServices& operator=(const TestServices&) = delete;

private:
    class StandardErrorLog : public Log {
    public:
        void write(std::string_view line) override;
    };

    StandardErrorLog log_;
    TerminalModemLines lines_;
    InstalledService<Log> installedLog_{&log_};
    InstalledService<ModemLines> installedLines_{&lines_};
};

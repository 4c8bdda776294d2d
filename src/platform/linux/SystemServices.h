#pragma once

#include "InstalledService.h"
#include "ProgramLifetime.h"
#include "SystemLog.h"
#include "TerminalModemLines.h"
#include "UdevDeviceRegistry.h"

// The program's real services on Linux, installed for the life of this object: SystemLog (standard
// error and syslog), TerminalModemLines (the terminal ioctls) and UdevDeviceRegistry (libudev).
// Destruction puts back what was installed before. Hand it to ProgramLifetime, which keeps it
// until every background thread has been joined.
//
// Device events are not among them: their source (UdevDeviceEvents) needs the Qt event loop, and a
// program that follows hot-plug installs one itself.
//
// Main thread only, both ends.
class SystemServices : public ProgramLifetime::Services {
public:
    SystemServices();
    ~SystemServices() override;

private:
    // The services first, so they outlive their installations below.
    SystemLog log_;
    TerminalModemLines lines_;
    UdevDeviceRegistry registry_;
    InstalledService<Log> installedLog_{&log_};
    InstalledService<ModemLines> installedLines_{&lines_};
    InstalledService<DeviceRegistry> installedRegistry_{&registry_};
};

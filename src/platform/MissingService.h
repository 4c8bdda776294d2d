#pragma once

// A service locator was asked for a service nobody installed. Writes one line to standard error
// that names the call, the service and what installs it, then aborts: a program that forgot to
// install its real services fails on the first use of one, and never quietly falls back to
// whatever the build machine has. Any thread.
//
// call: "DeviceRegistry::shared()"; service: "device registry"; forTests: what a test installs.
[[noreturn]] void missingService(const char* call, const char* service, const char* forTests);

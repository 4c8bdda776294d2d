#include "DeviceRegistry.h"
#include "Log.h"
#include "ModemLines.h"
#include "RecordingLog.h"
#include "SystemLog.h"
#include "SystemServices.h"
#include "TestDeviceRegistry.h"
#include "TestModemLines.h"

#include <functional>
#include <gtest/gtest.h>
#include <ostream>

namespace {

// A service nobody installed is a programming error that says which service is missing and what
// installs it; it never falls back to the build machine's udev, syslog or terminal ioctls.
struct Missing {
    const char* name;
    std::function<void()> use; // uninstalls the service, then asks for it
    const char* message;
};

void PrintTo(const Missing& missing, std::ostream* out) {
    *out << missing.name;
}

class MissingService : public testing::TestWithParam<Missing> {};

TEST_P(MissingService, AbortsNamingTheServiceAndWhatInstallsIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(GetParam().use(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    EachLocator, MissingService,
    testing::Values(Missing{"DeviceRegistry",
                            [] {
                                DeviceRegistry::install(nullptr);
                                DeviceRegistry::shared().serialDevices();
                            },
                            "DeviceRegistry::shared\\(\\): no device registry is installed.*"
                            "SystemServices.*TestDeviceRegistry"},
                    Missing{"ModemLines",
                            [] {
                                ModemLines::install(nullptr);
                                int word = 0;
                                ModemLines::shared().read(0, word);
                            },
                            "ModemLines::shared\\(\\): no modem-line service is installed.*"
                            "SystemServices.*TestModemLines"},
                    Missing{"Log",
                            [] {
                                Log::install(nullptr);
                                Log::line("nobody hears this");
                            },
                            "Log::line\\(\\): no log is installed.*SystemServices.*RecordingLog"}),
    [](const testing::TestParamInfo<Missing>& info) { return std::string(info.param.name); });

TEST(SystemServices, InstallsTheRealServicesAndPutsBackWhatWasThere) {
    TestDeviceRegistry registry;
    TestModemLines lines;
    RecordingLog log;
    {
        const SystemServices services;
        EXPECT_NE(dynamic_cast<UdevDeviceRegistry*>(&DeviceRegistry::shared()), nullptr);
        EXPECT_NE(dynamic_cast<TerminalModemLines*>(&ModemLines::shared()), nullptr);
        // Looked at without writing to it: a line here would reach the machine's syslog.
        Log* const installed = Log::install(nullptr);
        EXPECT_NE(dynamic_cast<SystemLog*>(installed), nullptr);
        Log::install(installed);
    }
    EXPECT_EQ(&DeviceRegistry::shared(), &registry);
    EXPECT_EQ(&ModemLines::shared(), &lines);
    Log::line("back to the test's log");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"back to the test's log"});
}

} // namespace

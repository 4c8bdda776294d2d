#include "ProgramLifetime.h"
#include "QtMainQueue.h"
#include "TestServices.h"

#include <QCoreApplication>
#include <cstdlib>
#include <gtest/gtest.h>

// The main of the D-Bus test executables: one application object and the Qt main queue for the
// whole binary, started and ended like a program's, with the test services in place of the real
// ones. The code under test is handed its bus; should anything still look for the machine's own
// buses, it finds nothing rather than touching them.
int main(int argc, char** argv) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent", 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
    const TestServices services;
    QCoreApplication application(argc, argv);
    QtMainQueue queue(application);
    const ProgramLifetime lifetime(queue);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

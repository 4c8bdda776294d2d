#include "BackgroundThreads.h"
#include "QtMainQueue.h"

#include <QCoreApplication>
#include <cstdlib>
#include <gtest/gtest.h>

// The main of the D-Bus test executables: one application object and the Qt main queue for the
// whole binary. The code under test is handed its bus; should anything still look for the
// machine's own buses, it finds nothing rather than touching them.
int main(int argc, char** argv) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent", 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
    QCoreApplication application(argc, argv);
    QtMainQueue queue(application);
    MainQueue::setShared(&queue);
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    queue.shutDown();
    BackgroundThreads::shared().joinAll();
    MainQueue::setShared(nullptr);
    return result;
}

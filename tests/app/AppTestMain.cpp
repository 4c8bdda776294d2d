#include "TestServices.h"

#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// One application object for the whole binary (Qt allows no second one), a widget application
// since the window's tests make widgets. Tests install their own main queues. The window is never
// shown on a screen: Qt's offscreen platform, also when CTest lists the tests.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // The operator's own roster and settings stay out of reach: nothing a test saves lands in
    // the home folder, and nothing there changes what a test sees.
    const QTemporaryDir home;
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    const TestServices services;
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

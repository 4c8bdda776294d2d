#include "TestServices.h"

#include <QApplication>
#include <gtest/gtest.h>

// One application object for the whole binary (Qt allows no second one), a widget application
// since the window's tests make widgets. Tests install their own main queues. The window is never
// shown on a screen: Qt's offscreen platform, also when CTest lists the tests.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    const TestServices services;
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "TestServices.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

// One application object for the whole binary (Qt allows no second one); tests reach it through
// QCoreApplication::instance(). The tests install their own main queues, so there is no program
// lifetime here, only the test services.
int main(int argc, char** argv) {
    const TestServices services;
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

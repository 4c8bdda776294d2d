#include "TestServices.h"

#include <gtest/gtest.h>

// The main of the test executables that need no Qt: the test services for the whole run, then
// every test.
int main(int argc, char** argv) {
    const TestServices services;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

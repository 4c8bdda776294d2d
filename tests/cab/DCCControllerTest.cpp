#include "DCCController.h"

#include "TestMainQueue.h"

#include <gtest/gtest.h>

namespace {

class TestManager : public KESSerialPortManager {};

TEST(DCCControllerTest, StartsWithTheLocomotiveDefaults) {
    TestMainQueue queue;
    MainQueue::setShared(&queue);
    {
        TestManager manager;
        DCCController cab(manager);
        EXPECT_EQ(cab.locoAddress(), 3);
        EXPECT_EQ(cab.speedMode(), 1);
    }
    MainQueue::setShared(nullptr);
}

} // namespace

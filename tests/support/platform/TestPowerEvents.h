#pragma once

#include "PowerEvents.h"

// Sleep and wake that the test fires by hand. Main thread only.
class TestPowerEvents : public PowerEvents {
public:
    void fireWillSleep() { postWillSleep(); }
    void fireDidWake() { postDidWake(); }
};

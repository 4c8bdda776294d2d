#pragma once

// The speed-step modes of a multi-function decoder. A baseline speed-and-direction instruction
// (01DCSSSS) means different things in 14- and 28-step mode, and nothing in the packet tells them
// apart: a decoder reads it the way its configuration says. The 128-step instruction has a form of
// its own (0x3F, then DSSSSSSS) and 126 running steps.
enum class SpeedMode { Steps14, Steps28, Steps128 };

// Highest running step of a mode: 14, 28 or 126.
constexpr int topStep(SpeedMode mode) {
    switch (mode) {
    case SpeedMode::Steps14:
        return 14;
    case SpeedMode::Steps28:
        return 28;
    case SpeedMode::Steps128:
        break;
    }
    return 126;
}

// "14 steps", "28 steps" or "128 steps".
constexpr const char* modeName(SpeedMode mode) {
    switch (mode) {
    case SpeedMode::Steps14:
        return "14 steps";
    case SpeedMode::Steps28:
        return "28 steps";
    case SpeedMode::Steps128:
        break;
    }
    return "128 steps";
}

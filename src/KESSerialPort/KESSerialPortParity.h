#pragma once

#include <cstdint>

enum KESSerialPortParity : std::uint64_t {
    KESSerialPortParityNone = 0,
    KESSerialPortParityOdd = 1,
    KESSerialPortParityEven = 2,
};

#pragma once

#include <cstdint>
#include <vector>

// A block of bytes as it crosses the serial line.
using Bytes = std::vector<std::uint8_t>;

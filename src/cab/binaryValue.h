#pragma once

#include <cstdint>
#include <ostream>

// Writes value to stream as eight characters "0" and "1", most significant bit first, and
// nothing else. Any thread, as far as the stream allows.
void binaryValue(std::uint8_t value, std::ostream& stream);

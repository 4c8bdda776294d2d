#include "binaryValue.h"

void binaryValue(std::uint8_t value, std::ostream& stream) {
    for (int bit = 7; bit >= 0; --bit) {
        stream << (((value >> bit) & 1u) != 0 ? '1' : '0');
    }
}

#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// Strict UTF-8, as RFC 3629 has it: no overlong forms, no surrogates, nothing above U+10FFFF,
// nothing cut short. Empty input is valid. Pure; any thread.
bool isValidUtf8(std::span<const std::uint8_t> bytes);
bool isValidUtf8(std::string_view text);

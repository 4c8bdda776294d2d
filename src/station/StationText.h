#pragma once

#include "Bytes.h"
#include "StationEvent.h"
#include "ValidUtf8.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Small text helpers the station codecs share: pure functions, any thread.

// text with every byte outside printable ASCII (space to '~') written as \xHH (upper-case hex),
// so that whatever a station sent can be shown and logged as it came.
std::string printableText(std::string_view text);

// text without the blanks (space, tab, CR, LF) at either end.
std::string_view trimmedText(std::string_view text);

// The bytes of text, as written to a station.
Bytes bytesOf(std::string_view text);

// An event of kind with text.
StationEvent eventOf(StationEvent::Kind kind, std::string text);

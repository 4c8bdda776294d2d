#pragma once

#include <string>
#include <string_view>

// The text the program shows for key, looked up in its English string table by the English text
// itself: the table's entry where there is one (a wording fitted to this platform), else value
// when it is not empty, else key. Any thread.
std::string localizedStringForKey(std::string_view key, std::string_view value = {});

#include "LocalizedString.h"

#include <map>

namespace {

// Only texts whose wording must differ from the key need an entry.
const std::map<std::string, std::string, std::less<>>& englishTable() {
    static const std::map<std::string, std::string, std::less<>> table{
        {"Serial Port %@ was connected to your Mac.",
         "Serial Port %@ was connected to this computer."},
        {"Serial Port %@ was disconnected from your Mac.",
         "Serial Port %@ was disconnected from this computer."},
    };
    return table;
}

} // namespace

std::string localizedStringForKey(std::string_view key, std::string_view value) {
    const auto& table = englishTable();
    if (auto found = table.find(key); found != table.end()) {
        return found->second;
    }
    return std::string(value.empty() ? key : value);
}

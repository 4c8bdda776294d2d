#pragma once

#include <any>
#include <map>
#include <string>

// One posted notification: its name, the object that posted it (its sender, compared by address
// only and never dereferenced by the centre; null for none) and its user info, keyed by string.
//
// A value type: subscribers receive it by reference for the duration of their call and copy what
// they keep.
struct Notification {
    using UserInfo = std::map<std::string, std::any>;

    std::string name;
    const void* object = nullptr;
    UserInfo userInfo;

    // The user-info value under key as a T, or null when it is absent or of another type.
    template <typename T>
    const T* userInfoValue(const std::string& key) const {
        auto found = userInfo.find(key);
        return found == userInfo.end() ? nullptr : std::any_cast<T>(&found->second);
    }
};

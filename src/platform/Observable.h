#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// Observable properties: an object announces each change of a property, by the property's name
// (its key), to the observers registered for that key. Every setter call is announced, also when
// the value stays the same. A key may depend on another: announcing the other announces it too.
//
// A list property also tells what changed: observers added with addChangeObserver receive, with
// the key, the change record the object announced (a ListChange of the list's element type), or an
// empty std::any for a plain property change.
//
// Announcements are synchronous, on the thread that made the change, before the setter returns.
// Observers are added, removed and told on that same thread (the main thread in this program);
// there is no lock. An observer may remove itself, or others, while being told.
class Observable {
public:
    using Observer = std::function<void(std::string_view key)>;
    using ChangeObserver = std::function<void(std::string_view key, const std::any& change)>;
    using Token = std::uint64_t;

    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    Token addObserver(std::string key, Observer observer);
    Token addChangeObserver(std::string key, ChangeObserver observer);
    void removeObserver(Token token);

protected:
    Observable() = default;
    virtual ~Observable() = default;

    // From now on, every announcement of onKey is followed by one of key.
    void addDependentKey(std::string key, std::string onKey);
    // Tells the observers of key, then those of the keys that depend on it. change is what change
    // observers of key receive; those of dependent keys receive an empty one.
    void didChangeValueForKey(std::string_view key, const std::any& change = {});

private:
    struct Registration {
        std::string key;
        ChangeObserver observer;
    };

    Token nextToken_ = 1;
    std::map<Token, Registration> observers_;
    std::multimap<std::string, std::string, std::less<>> dependents_;
};

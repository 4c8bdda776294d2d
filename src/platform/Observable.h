#pragma once

#include "Subscription.h"

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

// Observable properties: an object announces each change of a property, by the property's name
// (its key), to the observers registered for that key. Every setter call is announced, also when
// the value stays the same. A key may depend on another: announcing the other announces it too.
//
// A list property also tells what changed: observers added with addChangeObserver receive, with
// the key, the change record the object announced (a ListChange of the list's element type), or an
// empty std::any for a plain property change.
//
// Announcements are synchronous, on the thread that made the change, before the setter returns,
// to the key's observers in the order they were added. Observers are added, ended and told on
// that same thread (the main thread in this program); there is no lock.
//
// An observer lasts as long as the Subscription its adding returned: end that on the object's
// thread. An observer ended while an announcement is under way (by itself or by another
// observer) is not told from then on. A handle that outlives the object does nothing.
class Observable {
public:
    using Observer = std::function<void(std::string_view key)>;
    using ChangeObserver = std::function<void(std::string_view key, const std::any& change)>;

    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    [[nodiscard]] Subscription addObserver(std::string key, Observer observer);
    [[nodiscard]] Subscription addChangeObserver(std::string key, ChangeObserver observer);

protected:
    Observable();
    virtual ~Observable();

    // From now on, every announcement of onKey is followed by one of key.
    void addDependentKey(std::string key, std::string onKey);
    // Tells the observers of key, then those of the keys that depend on it. change is what change
    // observers of key receive; those of dependent keys receive an empty one.
    void didChangeValueForKey(std::string_view key, const std::any& change = {});

private:
    struct Observers;

    // Owned by this object alone; the handles hold it weakly, to find out whether it is gone.
    std::shared_ptr<Observers> observers_;
    std::multimap<std::string, std::string, std::less<>> dependents_;
};

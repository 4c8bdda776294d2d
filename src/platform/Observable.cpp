#include "Observable.h"

#include <utility>
#include <vector>

// The registered observers, by token; tokens grow, so the map's order is the order added.
struct Observable::Observers final : Subscription::Source {
    struct Registration {
        std::string key;
        ChangeObserver observer;
    };

    void endSubscription(Subscription::Token token) override {
        // Taken out before it is destroyed: what the observer captured may end other observers.
        auto ended = registrations.extract(token);
    }

    std::map<Subscription::Token, Registration> registrations;
    // Cleared when the object is destroyed, which an observer may do while it is told.
    bool objectAlive = true;
};

Observable::Observable() : observers_(std::make_shared<Observers>()) {}

Observable::~Observable() {
    observers_->objectAlive = false;
}

Subscription Observable::addObserver(std::string key, Observer observer) {
    return addChangeObserver(
        std::move(key), [observer = std::move(observer)](std::string_view changed,
                                                         const std::any&) { observer(changed); });
}

Subscription Observable::addChangeObserver(std::string key, ChangeObserver observer) {
    const Subscription::Token token = Subscription::nextToken();
    observers_->registrations.emplace(token,
                                      Observers::Registration{std::move(key), std::move(observer)});
    return Subscription(observers_, token);
}

void Observable::addDependentKey(std::string key, std::string onKey) {
    dependents_.emplace(std::move(onKey), std::move(key));
}

void Observable::didChangeValueForKey(std::string_view key, const std::any& change) {
    // Held here: an observer may destroy this object while it is told, and then nothing of it
    // may be touched again. What is read of the object is read before anybody is told.
    const std::shared_ptr<Observers> observers = observers_;
    std::vector<std::string> dependents;
    for (auto [it, last] = dependents_.equal_range(key); it != last; ++it) {
        dependents.push_back(it->second);
    }
    const std::string announced(key); // key may live in the object
    // Collect first: an observer may add or end observers while it is told.
    std::vector<Subscription::Token> toTell;
    for (const auto& [token, registration] : observers->registrations) {
        if (registration.key == announced) {
            toTell.push_back(token);
        }
    }
    for (Subscription::Token token : toTell) {
        if (!observers->objectAlive) {
            return;
        }
        auto found = observers->registrations.find(token);
        if (found != observers->registrations.end()) {
            ChangeObserver observer = found->second.observer; // survives its own ending
            observer(announced, change);
        }
    }
    for (const std::string& dependent : dependents) {
        if (!observers->objectAlive) {
            return;
        }
        didChangeValueForKey(dependent);
    }
}

#include "Observable.h"

#include <utility>

Observable::Token Observable::addObserver(std::string key, Observer observer) {
    return addChangeObserver(
        std::move(key), [observer = std::move(observer)](std::string_view changed,
                                                         const std::any&) { observer(changed); });
}

Observable::Token Observable::addChangeObserver(std::string key, ChangeObserver observer) {
    const Token token = nextToken_++;
    observers_.emplace(token, Registration{std::move(key), std::move(observer)});
    return token;
}

void Observable::removeObserver(Token token) {
    observers_.erase(token);
}

void Observable::addDependentKey(std::string key, std::string onKey) {
    dependents_.emplace(std::move(onKey), std::move(key));
}

void Observable::didChangeValueForKey(std::string_view key, const std::any& change) {
    // Collect first: an observer may add or remove observers while it is told.
    std::vector<Token> toTell;
    for (const auto& [token, registration] : observers_) {
        if (registration.key == key) {
            toTell.push_back(token);
        }
    }
    for (Token token : toTell) {
        auto found = observers_.find(token);
        if (found != observers_.end()) {
            ChangeObserver observer = found->second.observer; // survives its own removal
            observer(key, change);
        }
    }
    auto [first, last] = dependents_.equal_range(key);
    std::vector<std::string> dependents;
    for (auto it = first; it != last; ++it) {
        dependents.push_back(it->second);
    }
    for (const std::string& dependent : dependents) {
        didChangeValueForKey(dependent);
    }
}

#include "Observable.h"

#include <utility>

Observable::Token Observable::addObserver(std::string key, Observer observer) {
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

void Observable::didChangeValueForKey(std::string_view key) {
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
            Observer observer = found->second.observer; // survives its own removal
            observer(key);
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

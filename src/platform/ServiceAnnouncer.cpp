#include "ServiceAnnouncer.h"

#include "ServiceAnnouncerDelegate.h"

void ServiceAnnouncer::beginRegistering(const std::string& name) {
    state_ = State::registering;
    name_ = name;
}

void ServiceAnnouncer::endAnnouncement() {
    state_ = State::withdrawn;
    name_.clear();
}

void ServiceAnnouncer::reportAnnounced() {
    state_ = State::announced;
    if (delegate_ != nullptr) {
        const std::string name = name_; // the delegate may announce anew, which replaces name_
        delegate_->serviceAnnouncerDidAnnounce(*this, name);
    }
}

void ServiceAnnouncer::reportRenamed(const std::string& newName) {
    state_ = State::registering;
    const std::string takenName = name_;
    name_ = newName;
    if (delegate_ != nullptr) {
        delegate_->serviceAnnouncerDidRename(*this, takenName, newName);
    }
}

void ServiceAnnouncer::reportFailed(const std::string& reason) {
    state_ = State::failed;
    if (delegate_ != nullptr) {
        delegate_->serviceAnnouncerDidFail(*this, reason);
    }
}

void ServiceAnnouncer::reportNoResponder(const std::string& reason) {
    state_ = State::noResponder;
    if (delegate_ != nullptr) {
        delegate_->serviceAnnouncerFoundNoResponder(*this, reason);
    }
}

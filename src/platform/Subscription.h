#pragma once

#include <cstdint>
#include <memory>

// The handle of one subscription: an observer of an Observable, a subscriber of a
// NotificationCenter, a delayed task of a MainQueue. Destroying it, cancel() or reset() ends the
// subscription, so whoever keeps the handle as a member cannot be called back once it is gone.
//
// Move-only. A default-constructed handle, a moved-from one and one already ended hold nothing,
// and ending them does nothing. The handle refers to what it subscribed to without keeping it
// alive: when that was destroyed first, ending the handle does nothing.
//
// Ending is allowed from inside the very callback it ends (the callback finishes its run and is
// not called again). Which thread may end a handle is the subscribing call's contract: the
// observable's own thread for Observable, any thread for NotificationCenter, the main thread for
// MainQueue::after.
class Subscription {
public:
    using Token = std::uint64_t;

    // What a handle ends: kept by the subscribed-to object in a shared_ptr, so that handles can
    // find out whether it still exists.
    class Source {
    public:
        // Ends the subscription token, if it is still in force. Called at most once per token,
        // on the thread the handle is ended on, without any lock of the handle's.
        virtual void endSubscription(Token token) = 0;

    protected:
        Source() = default;
        Source(const Source&) = delete;
        Source& operator=(const Source&) = delete;
        virtual ~Source() = default;
    };

    Subscription() noexcept = default;
    // A handle for subscription token of source. Made by the subscribing calls.
    Subscription(std::weak_ptr<Source> source, Token token) noexcept;
    Subscription(Subscription&& other) noexcept;
    // Ends the subscription held, then takes over other's.
    Subscription& operator=(Subscription&& other) noexcept;
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;
    ~Subscription();

    void cancel() noexcept;
    void reset() noexcept { cancel(); }

    // True until this handle was ended or moved from. Says nothing about whether the source still
    // exists or, for a delayed task, whether the task has run.
    bool holdsSubscription() const noexcept { return token_ != 0; }

    // A token never handed out before in this process (never 0), whatever object asks; any
    // thread.
    static Token nextToken() noexcept;

private:
    std::weak_ptr<Source> source_;
    Token token_ = 0;
};

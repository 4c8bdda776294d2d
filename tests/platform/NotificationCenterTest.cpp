#include "NotificationCenter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using testing::ElementsAre;

namespace {

TEST(NotificationCenter, DeliversByNameAndSenderInSubscriptionOrder) {
    NotificationCenter center;
    int sender = 0;
    int other = 0;
    std::vector<std::string> heard;
    std::vector<Subscription> subscriptions;
    subscriptions.push_back(center.addObserverForName("ports", nullptr, [&](const Notification& n) {
        heard.push_back("any sender: " + *n.userInfoValue<std::string>("what"));
    }));
    subscriptions.push_back(center.addObserverForName(
        "ports", &sender, [&](const Notification&) { heard.push_back("this sender"); }));
    subscriptions.push_back(
        center.addObserverForName(std::nullopt, nullptr, [&](const Notification& n) {
            heard.push_back("any name: " + n.name);
        }));
    center.postNotificationName("ports", &sender, {{"what", std::string("one")}});
    center.postNotificationName("ports", &other, {{"what", std::string("two")}});
    center.postNotificationName("sleep", &other);
    EXPECT_THAT(heard, ElementsAre("any sender: one", "this sender", "any name: ports",
                                   "any sender: two", "any name: ports", "any name: sleep"));
}

TEST(NotificationCenter, UserInfoValuesOfAnotherTypeAreAbsent) {
    const Notification notification{"n", nullptr, {{"count", 3}}};
    EXPECT_EQ(*notification.userInfoValue<int>("count"), 3);
    EXPECT_EQ(notification.userInfoValue<std::string>("count"), nullptr);
    EXPECT_EQ(notification.userInfoValue<int>("missing"), nullptr);
}

TEST(NotificationCenter, HandlersMayUnsubscribeAndPostWhileBeingCalled) {
    NotificationCenter center;
    std::vector<std::string> heard;
    Subscription second;
    Subscription first = center.addObserverForName("a", nullptr, [&](const Notification&) {
        heard.push_back("first");
        first.cancel(); // the running handler's own handle
        second.cancel();
        center.postNotificationName("b", nullptr);
    });
    second = center.addObserverForName("a", nullptr,
                                       [&](const Notification&) { heard.push_back("second"); });
    const Subscription b =
        center.addObserverForName("b", nullptr, [&](const Notification&) { heard.push_back("b"); });
    center.postNotificationName("a", nullptr);
    center.postNotificationName("a", nullptr);
    EXPECT_THAT(heard, ElementsAre("first", "b"));
    EXPECT_EQ(center.observerCount(), 1u);
}

// A handle ends its own subscription and no other: not the other centre's, whose token came from
// the same counter, and one that outlives its centre does nothing (AddressSanitizer watches). A
// handler that owns a handle into the same centre is released without the centre's lock held.
TEST(NotificationCenter, AHandleEndsOnlyItsOwnSubscriptionEvenAfterItsCentreWent) {
    auto mine = std::make_unique<NotificationCenter>();
    NotificationCenter other;
    int mineHeard = 0;
    int otherHeard = 0;
    Subscription handle =
        mine->addObserverForName("n", nullptr, [&mineHeard](const Notification&) { ++mineHeard; });
    const Subscription kept = other.addObserverForName(
        "n", nullptr, [&otherHeard](const Notification&) { ++otherHeard; });
    auto inner = std::make_shared<Subscription>(
        other.addObserverForName("m", nullptr, [](const Notification&) {}));
    Subscription owner = other.addObserverForName("o", nullptr, [inner](const Notification&) {});
    inner.reset();
    Subscription outliving = mine->addObserverForName("n", nullptr, [](const Notification&) {});

    handle = Subscription();
    owner.cancel(); // ends "m" too, from inside the ending of "o"
    mine->postNotificationName("n", nullptr);
    other.postNotificationName("n", nullptr);
    EXPECT_EQ(mineHeard, 0);
    EXPECT_EQ(otherHeard, 1);
    EXPECT_EQ(mine->observerCount(), 1u);
    EXPECT_EQ(other.observerCount(), 1u);
    mine.reset();
    outliving.cancel();
}

TEST(NotificationCenter, DeliversOnThePostingThread) {
    NotificationCenter center;
    std::thread::id deliveredOn;
    const Subscription subscription = center.addObserverForName(
        "n", nullptr, [&](const Notification&) { deliveredOn = std::this_thread::get_id(); });
    std::thread poster([&] { center.postNotificationName("n", nullptr); });
    const std::thread::id posterId = poster.get_id();
    poster.join();
    EXPECT_EQ(deliveredOn, posterId);
}

} // namespace

#include "NotificationCenter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

using testing::ElementsAre;

namespace {

TEST(NotificationCenter, DeliversByNameAndSenderInSubscriptionOrder) {
    NotificationCenter center;
    int sender = 0;
    int other = 0;
    std::vector<std::string> heard;
    center.addObserverForName("ports", nullptr, [&](const Notification& n) {
        heard.push_back("any sender: " + *n.userInfoValue<std::string>("what"));
    });
    center.addObserverForName("ports", &sender,
                              [&](const Notification&) { heard.push_back("this sender"); });
    center.addObserverForName(std::nullopt, nullptr, [&](const Notification& n) {
        heard.push_back("any name: " + n.name);
    });
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
    NotificationCenter::Token second = 0;
    const NotificationCenter::Token first =
        center.addObserverForName("a", nullptr, [&](const Notification&) {
            heard.push_back("first");
            center.removeObserver(first);
            center.removeObserver(second);
            center.postNotificationName("b", nullptr);
        });
    second = center.addObserverForName("a", nullptr,
                                       [&](const Notification&) { heard.push_back("second"); });
    center.addObserverForName("b", nullptr, [&](const Notification&) { heard.push_back("b"); });
    center.postNotificationName("a", nullptr);
    center.postNotificationName("a", nullptr);
    EXPECT_THAT(heard, ElementsAre("first", "b"));
    EXPECT_EQ(center.observerCount(), 1u);
}

TEST(NotificationCenter, DeliversOnThePostingThread) {
    NotificationCenter center;
    std::thread::id deliveredOn;
    center.addObserverForName(
        "n", nullptr, [&](const Notification&) { deliveredOn = std::this_thread::get_id(); });
    std::thread poster([&] { center.postNotificationName("n", nullptr); });
    const std::thread::id posterId = poster.get_id();
    poster.join();
    EXPECT_EQ(deliveredOn, posterId);
}

} // namespace

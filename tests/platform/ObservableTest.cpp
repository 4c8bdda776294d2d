#include "Observable.h"

#include "ListChange.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>

using testing::ElementsAre;

namespace {

class Thing : public Observable {
public:
    Thing() { addDependentKey("isOpen", "fileDescriptor"); }
    void setFileDescriptor(int) { didChangeValueForKey("fileDescriptor"); }
    void setName() { didChangeValueForKey("name"); }
};

TEST(Observable, AnnouncesByKeyWithDependentKeysAfterTheirSource) {
    Thing thing;
    std::vector<std::string> heard;
    auto note = [&](std::string_view key) { heard.emplace_back(key); };
    const Subscription fileDescriptor = thing.addObserver("fileDescriptor", note);
    const Subscription isOpen = thing.addObserver("isOpen", note);
    thing.setFileDescriptor(3);
    thing.setName(); // nobody observes it
    thing.setFileDescriptor(3);
    EXPECT_THAT(heard, ElementsAre("fileDescriptor", "isOpen", "fileDescriptor", "isOpen"));
}

// An observer may destroy the object it observes (a window letting go of the last reference to
// a port, say): the announcement stops there, without touching the destroyed object.
TEST(Observable, AnObserverMayDestroyTheObjectWhileBeingTold) {
    auto thing = std::make_unique<Thing>();
    std::vector<std::string> heard;
    const Subscription destroying = thing->addObserver("fileDescriptor", [&](std::string_view key) {
        heard.emplace_back(key);
        thing.reset();
    });
    const Subscription later = thing->addObserver(
        "fileDescriptor", [&](std::string_view key) { heard.emplace_back(key); });
    const Subscription dependent =
        thing->addObserver("isOpen", [&](std::string_view key) { heard.emplace_back(key); });
    thing->setFileDescriptor(3);
    EXPECT_EQ(thing, nullptr);
    EXPECT_THAT(heard, ElementsAre("fileDescriptor"));
}

TEST(Observable, AnObserverMayEndItselfAndOthersWhileBeingTold) {
    Thing thing;
    int first = 0;
    int second = 0;
    Subscription secondHandle;
    Subscription firstHandle = thing.addObserver("name", [&](std::string_view) {
        ++first;
        firstHandle.cancel(); // the running observer's own handle
        secondHandle.cancel();
    });
    secondHandle = thing.addObserver("name", [&](std::string_view) { ++second; });
    thing.setName();
    thing.setName();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0) << "ended before its turn came";
}

// Each way of letting go of a handle ends that observer and only that one: the other object's
// observer, with its own token from the same counter, stays; a handle that outlives its object
// does nothing (AddressSanitizer watches).
TEST(Observable, AHandleEndsItsOwnObserverHoweverItIsLetGo) {
    const std::vector<std::pair<const char*, std::function<void(Subscription&)>>> ways = {
        {"destroyed", [](Subscription& s) { Subscription gone = std::move(s); }},
        {"cancelled", [](Subscription& s) { s.cancel(); }},
        {"reset", [](Subscription& s) { s.reset(); }},
        {"assigned over", [](Subscription& s) { s = Subscription(); }},
    };
    for (const auto& [way, letGo] : ways) {
        SCOPED_TRACE(way);
        auto mine = std::make_unique<Thing>();
        Thing other;
        int mineHeard = 0;
        int otherHeard = 0;
        Subscription handle = mine->addObserver("name", [&](std::string_view) { ++mineHeard; });
        Subscription kept = other.addObserver("name", [&](std::string_view) { ++otherHeard; });
        Subscription outliving = mine->addObserver("name", [](std::string_view) {});
        letGo(handle);
        EXPECT_FALSE(handle.holdsSubscription());
        letGo(handle); // a second time: nothing left to end
        mine->setName();
        other.setName();
        EXPECT_EQ(mineHeard, 0);
        EXPECT_EQ(otherHeard, 1);
        mine.reset();
        letGo(outliving);
    }
}

TEST(Observable, ChangeObserversReceiveTheRecordAndDependentKeysAnEmptyOne) {
    class List : public Thing {
    public:
        void insert() {
            ListChange<int> change;
            change.kind = ListChange<int>::Kind::insertion;
            change.indexes = {2};
            change.newValues = {7};
            didChangeValueForKey("fileDescriptor", change);
        }
    } list;
    std::vector<std::string> heard;
    auto note = [&](std::string_view key, const std::any& change) {
        const auto* record = std::any_cast<ListChange<int>>(&change);
        heard.push_back(std::string(key) +
                        (record ? " at " + std::to_string(record->indexes.at(0)) : " plain"));
    };
    const Subscription fileDescriptor = list.addChangeObserver("fileDescriptor", note);
    const Subscription isOpen = list.addChangeObserver("isOpen", note);
    list.insert();
    list.setFileDescriptor(3);
    EXPECT_THAT(heard, ElementsAre("fileDescriptor at 2", "isOpen plain", "fileDescriptor plain",
                                   "isOpen plain"));
}

} // namespace

#include "Observable.h"

#include "ListChange.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
    thing.addObserver("fileDescriptor", note);
    thing.addObserver("isOpen", note);
    thing.setFileDescriptor(3);
    thing.setName(); // nobody observes it
    thing.setFileDescriptor(3);
    EXPECT_THAT(heard, ElementsAre("fileDescriptor", "isOpen", "fileDescriptor", "isOpen"));
}

TEST(Observable, AnObserverMayRemoveItselfAndOthersWhileBeingTold) {
    Thing thing;
    int first = 0;
    int second = 0;
    Observable::Token secondToken = 0;
    Observable::Token firstToken = thing.addObserver("name", [&](std::string_view) {
        ++first;
        thing.removeObserver(firstToken);
        thing.removeObserver(secondToken);
    });
    secondToken = thing.addObserver("name", [&](std::string_view) { ++second; });
    thing.setName();
    thing.setName();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0) << "removed before its turn came";
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
    list.addChangeObserver("fileDescriptor", note);
    list.addChangeObserver("isOpen", note);
    list.insert();
    list.setFileDescriptor(3);
    EXPECT_THAT(heard, ElementsAre("fileDescriptor at 2", "isOpen plain", "fileDescriptor plain",
                                   "isOpen plain"));
}

} // namespace

#pragma once

#include <cstddef>
#include <vector>

// What one change of an observed list did, as its observers receive it: elements inserted at
// indexes, removed from indexes, or the whole list replaced.
//
// Indexes are ascending. For an insertion they are the positions of the new elements in the list
// after the change and newValues holds those elements in the same order; for a removal they are
// positions in the list before the change and oldValues holds what was there. A replacement has no
// indexes: oldValues is the whole old list and newValues the whole new one (hadOld/hasNew false
// when that side was no list at all).
template <typename T>
struct ListChange {
    enum class Kind { insertion, removal, replacement };

    Kind kind = Kind::replacement;
    std::vector<std::size_t> indexes;
    std::vector<T> oldValues;
    std::vector<T> newValues;
    bool hadOld = true;
    bool hasNew = true;
};

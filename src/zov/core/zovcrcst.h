// Record sets: process-local collections of record pointers, used for the
// results of area reads and for gathering the records of a resource tree.
// They never own their members: whoever filled a set destroys the records.
#pragma once

#include <cstddef>
#include <vector>

#include "zov/core/zovcrcrd.h"

// Process-local collections of record pointers; they never own their members.
class ZOV_Record_Collection {
  public:
    virtual ~ZOV_Record_Collection() = default;
    // 0, or ZOV_RC_ALLOCATION when the entry could not be stored.
    int insert(ZOV_Record* record);
    size_t entries() const { return records.size(); }
    bool isEmpty() const { return records.empty(); }
    void clear() { records.clear(); }
    // Destroys every member and empties the collection.
    void clearAndDestroy();
    void print();

    std::vector<ZOV_Record*>::const_iterator begin() const { return records.begin(); }
    std::vector<ZOV_Record*>::const_iterator end() const { return records.end(); }

  protected:
    std::vector<ZOV_Record*> records;
};

// Unordered by contract (nothing may rely on its order); duplicates kept.
class ZOV_Record_Set : public ZOV_Record_Collection {};
// Insertion order.
class ZOV_Ordered_Record_Set : public ZOV_Record_Collection {};

// Yields each member once, then null; reset starts again.
class ZOV_Record_Set_Iterator {
  public:
    explicit ZOV_Record_Set_Iterator(const ZOV_Record_Collection& set) : set(set) {}
    ZOV_Record* operator()() { return index < set.entries() ? *(set.begin() + index++) : nullptr; }
    void reset() { index = 0; }

  private:
    const ZOV_Record_Collection& set;
    size_t index = 0;
};
using ZOV_Ordered_Record_Set_Iterator = ZOV_Record_Set_Iterator;

// The operations of ZOV_Parent_Resource and ZOV_Grandparent_Resource
// (zovcmsre.h). Included only by the module of each level, which compiles
// them once for its children with an explicit instantiation; the level's
// header declares that instantiation extern.
#pragma once

#include <new>

#include "zov/node/zovcmsre.h"

// Each operation writes its trace lines under the level's unit: the trace
// macros take the unit from the name _ZOV_UNIT_.

template <class Child, class ChildRecord, class ChildSet>
Child* ZOV_Parent_Resource<Child, ChildRecord, ChildSet>::findChild(const ZOV_Resource_ID* id) {
    const char* const _ZOV_UNIT_ = names.unit;
    ZOV_ENTRY(names.findChild);
    Child* child = childSet.find(id);
    ZOV_EXIT_PTR(names.findChild, child);
    return child;
}

template <class Child, class ChildRecord, class ChildSet>
Child* ZOV_Parent_Resource<Child, ChildRecord, ChildSet>::findIndexedChild(
    const ZOV_Resource_ID* id, const ZOV_Identity_Index& childrenById) {
    const char* const _ZOV_UNIT_ = names.unit;
    ZOV_ENTRY(names.findChild);
    auto* child = static_cast<Child*>(childrenById.find(id));
    ZOV_EXIT_PTR(names.findChild, child);
    return child;
}

template <class Child, class ChildRecord, class ChildSet>
Child* ZOV_Parent_Resource<Child, ChildRecord, ChildSet>::insertChild(const ZOV_Resource_ID* id) {
    const char* const _ZOV_UNIT_ = names.unit;
    ZOV_ENTRY(names.insertChild);
    ChildRecord temporary(id);
    if (idRegistry != nullptr)
        idRegistry->makeUnique(&temporary);
    Child* child = insertChild(&temporary);
    if (child != nullptr && idRegistry != nullptr)
        drawChildRecordIds(child);
    ZOV_EXIT_PTR(names.insertChild, child);
    return child;
}

template <class Child, class ChildRecord, class ChildSet>
Child* ZOV_Parent_Resource<Child, ChildRecord, ChildSet>::insertChild(const ChildRecord* record) {
    const char* const _ZOV_UNIT_ = names.unit;
    ZOV_ENTRY(names.insertFromRecord);
    Child* child = nullptr;
    if (record != nullptr) {
        child = new (std::nothrow) Child(record);
        if (child == nullptr) {
            ZOV_LOG_ALLOCATION_ERROR(names.insertFromRecord);
        } else if (child->status != 0) {
            delete child;
            child = nullptr;
        } else {
            child->setParent(this);
            child->setIdRegistry(idRegistry);
            if (childSet.insert(child) != ZOV_RC_OK) {
                ZOV_LOG_ALLOCATION_ERROR(names.insertFromRecord);
                delete child;
                child = nullptr;
            }
        }
    }
    ZOV_EXIT_PTR(names.insertFromRecord, child);
    return child;
}

template <class Child, class ChildRecord, class ChildSet>
ZOV_ReturnCode ZOV_Parent_Resource<Child, ChildRecord, ChildSet>::findChildren(ZOV_Record_Set* set,
                                                                               int keepAll) {
    const char* const _ZOV_UNIT_ = names.unit;
    ZOV_ENTRY(names.findChildren);
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (set == nullptr) {
        result = ZOV_RC_NULL;
    } else if (!set->isEmpty()) {
        const ZOV_Child_Index index(*set);
        result = rebuildChildren(index, keepAll);
    }
    ZOV_EXIT_RC(names.findChildren, result);
    return result;
}

template <class Child, class ChildRecord, class ChildSet>
ZOV_ReturnCode ZOV_Parent_Resource<Child, ChildRecord, ChildSet>::findChildren(
    const ZOV_Child_Index& index, int keepAll) {
    const char* const _ZOV_UNIT_ = names.unit;
    ZOV_ENTRY(names.findChildren);
    const ZOV_ReturnCode result = rebuildChildren(index, keepAll);
    ZOV_EXIT_RC(names.findChildren, result);
    return result;
}

template <class Child, class ChildRecord, class ChildSet>
ZOV_ReturnCode ZOV_Parent_Resource<Child, ChildRecord, ChildSet>::rebuildChildren(
    const ZOV_Child_Index& index, int keepAll) {
    ZOV_ReturnCode result = ZOV_RC_OK;
    const auto& stored = index.childrenOf(getRecordId());
    if (!stored.empty()) {
        ZOV_Identity_Index childrenById(childSet);
        for (ZOV_Record* record : stored) {
            if (rebuildChild(record, childrenById, keepAll, index) != ZOV_RC_OK)
                result = ZOV_RC_NOT_FOUND;
        }
    }
    return result;
}

template <class Child, class ChildRecord, class ChildSet>
ZOV_ReturnCode ZOV_Parent_Resource<Child, ChildRecord, ChildSet>::getRecords(ZOV_Record_Set* set) {
    const char* const _ZOV_UNIT_ = names.unit;
    ZOV_ENTRY(names.getRecords);
    ZOV_ReturnCode result = ZOV_RC_OK;
    if (set == nullptr) {
        result = ZOV_RC_NULL;
    } else if (informationRecord == nullptr) {
        result = ZOV_RC_NO_RECORD;
    } else {
        if (set->insert(informationRecord) != ZOV_RC_OK)
            result = ZOV_RC_NO_RECORD;
        for (size_t i = 0; i < childSet.entries(); ++i)
            result = childSet.at(i)->getRecords(set);
    }
    ZOV_EXIT_RC(names.getRecords, result);
    return result;
}

template <class Child, class ChildRecord, class ChildSet>
void ZOV_Parent_Resource<Child, ChildRecord, ChildSet>::initStatistics() {
    const char* const _ZOV_UNIT_ = names.unit;
    ZOV_ENTRY(names.initStatistics);
    ZOV_MQSI_Resource::initStatistics();
    for (size_t i = 0; i < childSet.entries(); ++i)
        childSet.at(i)->initStatistics();
    ZOV_EXIT(names.initStatistics);
}

template <class Child, class ChildRecord, class ChildSet>
ZOV_ReturnCode ZOV_Parent_Resource<Child, ChildRecord, ChildSet>::getStatistics(ZOV_STIR* input,
                                                                                ZOV_STIR* output,
                                                                                ZOV_STIR* other) {
    const char* const _ZOV_UNIT_ = names.unit;
    ZOV_ENTRY(names.getStatistics);
    if (statisticsGathered == 0) {
        for (size_t i = 0; i < childSet.entries(); ++i) {
            childSet.at(i)->getStatistics(statistics[ZOV_SLOT_INPUT], statistics[ZOV_SLOT_OUTPUT],
                                          statistics[ZOV_SLOT_OTHER]);
        }
        statisticsGathered = 1;
    }
    const ZOV_ReturnCode result = ZOV_MQSI_Resource::getStatistics(input, output, other);
    ZOV_EXIT_RC(names.getStatistics, result);
    return result;
}

template <class Child, class ChildRecord, class ChildSet>
void ZOV_Parent_Resource<Child, ChildRecord, ChildSet>::resetStatistics() {
    const char* const _ZOV_UNIT_ = names.unit;
    ZOV_ENTRY(names.resetStatistics);
    for (size_t i = 0; i < childSet.entries(); ++i)
        childSet.at(i)->resetStatistics();
    ZOV_EXIT(names.resetStatistics);
}

template <class Child, class ChildRecord, class ChildSet>
void ZOV_Parent_Resource<Child, ChildRecord, ChildSet>::print() {
    const char* const _ZOV_UNIT_ = names.unit;
    ZOV_ENTRY(names.print);
    ZOV_MQSI_Resource::print();
    childSet.print();
    ZOV_EXIT(names.print);
}

template <class Child, class ChildRecord, class ChildSet>
ZOV_ReturnCode ZOV_Grandparent_Resource<Child, ChildRecord, ChildSet>::rebuildChild(
    ZOV_Record* stored, ZOV_Identity_Index& childrenById, int keepAll,
    const ZOV_Child_Index& index) {
    // Only records of the child's kind name this resource as their parent;
    // anything else comes from a corrupt area.
    const auto* record = dynamic_cast<const ChildRecord*>(stored);
    if (record == nullptr)
        return ZOV_RC_NOT_FOUND;
    const ZOV_Resource_ID id = record->getResourceId();
    Child* child = this->findIndexedChild(&id, childrenById);
    if (child == nullptr) {
        child = this->insertChild(record);
        if (child == nullptr)
            return ZOV_RC_NOT_FOUND;
        childrenById.add(child);
    }
    child->findChildren(index, keepAll);
    if (keepAll == 0 && child->childCount() == 0) {
        childrenById.remove(child);
        this->childSet.removeAndDestroy(child);
    }
    return ZOV_RC_OK;
}

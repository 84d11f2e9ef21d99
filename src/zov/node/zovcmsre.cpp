#include "zov/node/zovcmsre.h"

#include <new>
#include <string_view>

#include "zov/core/zovcreir.h"
#include "zov/core/zovcshar.h"
#include "zov/core/zovcstir.h"

static constexpr char _ZOV_UNIT_[] = "zovcmsre";

namespace {

// Bound on the draws for one new record: each draw takes the next random()
// value, so a second draw practically never collides again.
constexpr int kMaximumDraws = 64;

size_t hashBytes(const void* bytes, size_t length) {
    return std::hash<std::string_view>{}(std::string_view(static_cast<const char*>(bytes), length));
}

size_t hashString(const ZOV_String& text) {
    return hashBytes(text.getValue(), 2 * static_cast<size_t>(text.getLength()));
}

const char* typeName(ZOV_RecordType type) {
    switch (type) {
        case ZOV_RT_BROKER:
            return "Broker";
        case ZOV_RT_EXECUTION_GROUP:
            return "Execution Group";
        case ZOV_RT_MESSAGE_FLOW:
            return "Message Flow";
        case ZOV_RT_NODE:
            return "ComLumenaMonitorNode";
        default:
            return "n/a";
    }
}

const char* text8(ZOV_String& text) {
    const char* value = text.getcValue();
    return value != nullptr ? value : "";
}

}  // namespace

size_t ZOV_Record_ID_Hash::operator()(const ZOV_Record_ID& id) const {
    return hashBytes(id.bytes, sizeof id.bytes);
}

// ---------------------------------------------------------------------------
// Record ID registry and child index.

int ZOV_Record_Id_Registry::add(const ZOV_Record_ID& id) {
    try {
        ids.insert(id);
    } catch (const std::bad_alloc&) {
        return ZOV_RC_ALLOCATION;
    }
    return ZOV_RC_OK;
}

int ZOV_Record_Id_Registry::makeUnique(ZOV_Record* record) {
    static constexpr char fn[] = "ZOV_Record_Id_Registry::makeUnique";
    ZOV_ENTRY(fn);
    int draws = 0;
    if (record != nullptr) {
        while (contains(*record->getRecordId()) && draws < kMaximumDraws) {
            record->generateRecordId();
            ++draws;
        }
        if (draws > 0)
            ZOV_TRACE(fn, "Record ID drawn again %d times", draws);
        if (add(*record->getRecordId()) != ZOV_RC_OK)
            ZOV_LOG_ALLOCATION_ERROR(fn);
        redrawCount += draws;
    }
    ZOV_EXIT_RC(fn, draws);
    return draws;
}

const std::vector<ZOV_Record*>& ZOV_Child_Index::childrenOf(const ZOV_Record_ID* parent) const {
    static const std::vector<ZOV_Record*> none;
    if (parent == nullptr)
        return none;
    const auto found = children.find(*parent);
    return found != children.end() ? found->second : none;
}

ZOV_Child_Index::ZOV_Child_Index(const ZOV_Record_Collection& set) {
    static constexpr char fn[] = "ZOV_Child_Index::ZOV_Child_Index";
    ZOV_ENTRY(fn);
    try {
        children.reserve(set.entries());
        for (ZOV_Record* record : set) {
            if (record != nullptr)
                children[*record->getParentId()].push_back(record);
        }
    } catch (const std::bad_alloc&) {
        status = ZOV_RC_ALLOCATION;
        ZOV_LOG_ALLOCATION_ERROR(fn);
    }
    ZOV_EXIT(fn);
}

// ---------------------------------------------------------------------------
// ZOV_MQSI_Resource

ZOV_MQSI_Resource::ZOV_MQSI_Resource(ZOV_RecordType type, const ZOV_Resource_ID* id) {
    static constexpr char fn[] = "ZOV_MQSI_Resource::ZOV_MQSI_Resource";
    ZOV_ENTRY(fn);
    setInformationRecord(type, id);
    if (status != 0)
        cleanup();
    ZOV_EXIT(fn);
}

ZOV_MQSI_Resource::ZOV_MQSI_Resource(const ZOV_REIR* record) {
    static constexpr char fn[] = "ZOV_MQSI_Resource::ZOV_MQSI_Resource";
    ZOV_ENTRY(fn);
    if (record != nullptr && !record->isWhole()) {
        // Copies of its texts would be empty: the resource would be another.
        status = ZOV_STATUS_FAILED;
        ZOV_LOG_ALLOCATION_ERROR(fn);
    } else if (record != nullptr) {
        const ZOV_Resource_ID id = record->getResourceId();
        setInformationRecord(record->getType(), &id);
    } else {
        setInformationRecord(ZOV_RT_RESOURCE, nullptr);
    }
    if (status != 0) {
        cleanup();
    } else if (record != nullptr) {
        // The common part only: header (ID, parent, deleted flag, position),
        // UUID and label. The kinds copy their added member themselves.
        *informationRecord = *record;
    }
    ZOV_EXIT(fn);
}

ZOV_MQSI_Resource::~ZOV_MQSI_Resource() {
    static constexpr char fn[] = "ZOV_MQSI_Resource::~ZOV_MQSI_Resource";
    ZOV_ENTRY(fn);
    cleanup();
    ZOV_EXIT(fn);
}

void ZOV_MQSI_Resource::setInformationRecord(ZOV_RecordType type, const ZOV_Resource_ID* id) {
    static constexpr char fn[] = "ZOV_MQSI_Resource::setInformationRecord";
    ZOV_ENTRY(fn);
    if (status == 0) {
        const ZOV_Record_Kind* kind = ZOV_RecordKind(type);
        ZOV_REIR* record = kind != nullptr && kind->makeResource != nullptr
                               ? kind->makeResource(id)
                               : new (std::nothrow) ZOV_REIR(type, id);
        if (record == nullptr || !record->isWhole()) {
            // A record without its texts would name another resource.
            delete record;
            status = ZOV_STATUS_FAILED;
            ZOV_LOG_ALLOCATION_ERROR(fn);
        } else {
            delete informationRecord;
            informationRecord = record;
        }
    }
    ZOV_EXIT(fn);
}

void ZOV_MQSI_Resource::cleanup() {
    static constexpr char fn[] = "ZOV_MQSI_Resource::cleanup";
    ZOV_ENTRY(fn);
    delete informationRecord;
    informationRecord = nullptr;
    for (ZOV_STIR*& aggregate : statistics) {
        delete aggregate;
        aggregate = nullptr;
    }
    ZOV_EXIT(fn);
}

const ZOV_Record_ID* ZOV_MQSI_Resource::getRecordId() const {
    return informationRecord != nullptr ? informationRecord->getRecordId() : nullptr;
}

const ZOV_Record_ID* ZOV_MQSI_Resource::getParentId() const {
    return informationRecord != nullptr ? informationRecord->getParentId() : nullptr;
}

void ZOV_MQSI_Resource::setParent(const ZOV_MQSI_Resource* parent) {
    static constexpr char fn[] = "ZOV_MQSI_Resource::setParent";
    ZOV_ENTRY(fn);
    if (informationRecord != nullptr && parent != nullptr)
        informationRecord->setParent(parent->getRecordId());
    ZOV_EXIT(fn);
}

int ZOV_MQSI_Resource::isChildOf(const ZOV_MQSI_Resource* parent) const {
    static constexpr char fn[] = "ZOV_MQSI_Resource::isChildOf";
    ZOV_ENTRY(fn);
    int result = 0;
    if (informationRecord != nullptr && parent != nullptr)
        result = informationRecord->isChildOf(parent->informationRecord);
    ZOV_EXIT_RC(fn, result);
    return result;
}

int ZOV_MQSI_Resource::alike(const ZOV_Resource_ID* id) const {
    static constexpr char fn[] = "ZOV_MQSI_Resource::alike";
    ZOV_ENTRY(fn);
    int result = 0;
    if (informationRecord != nullptr && id != nullptr)
        result = informationRecord->alike(id);
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_Resource_ID ZOV_MQSI_Resource::getResourceId() const {
    return informationRecord != nullptr ? informationRecord->getResourceId() : ZOV_Resource_ID();
}

ZOV_String ZOV_MQSI_Resource::getLabel() const {
    return informationRecord != nullptr ? informationRecord->getLabel() : ZOV_String();
}

ZOV_String ZOV_MQSI_Resource::getUuid() const {
    return informationRecord != nullptr ? informationRecord->getUuid() : ZOV_String();
}

ZOV_RecordType ZOV_MQSI_Resource::getType() const {
    return informationRecord != nullptr ? informationRecord->getType() : ZOV_RT_RECORD;
}

void ZOV_MQSI_Resource::initStatistics() {
    static constexpr char fn[] = "ZOV_MQSI_Resource::initStatistics";
    ZOV_ENTRY(fn);
    for (ZOV_STIR*& aggregate : statistics) {
        if (aggregate != nullptr) {
            aggregate->reset();
            continue;
        }
        aggregate = new (std::nothrow) ZOV_STIR(1);
        if (aggregate == nullptr)
            ZOV_LOG_ALLOCATION_ERROR(fn);
    }
    statisticsGathered = 0;
    ZOV_EXIT(fn);
}

ZOV_ReturnCode ZOV_MQSI_Resource::getStatistics(ZOV_STIR* input, ZOV_STIR* output,
                                                ZOV_STIR* other) {
    static constexpr char fn[] = "ZOV_MQSI_Resource::getStatistics";
    ZOV_ENTRY(fn);
    ZOV_ReturnCode result = ZOV_RC_OK;
    ZOV_STIR* const targets[kZOVStatisticsSlots] = {input, output, other};
    for (int slot = 0; slot < kZOVStatisticsSlots; ++slot) {
        if (targets[slot] != nullptr && statistics[slot] != nullptr)
            *targets[slot] += *statistics[slot];
        else
            result = ZOV_RC_MISSING;
    }
    ZOV_EXIT_RC(fn, result);
    return result;
}

void ZOV_MQSI_Resource::print() {
    static constexpr char fn[] = "ZOV_MQSI_Resource::print";
    ZOV_ENTRY(fn);
    ZOV_String label = getLabel();
    ZOV_String uuid = getUuid();
    ZOV_PRINT(fn, "Type                : %s", typeName(getType()));
    ZOV_PRINT(fn, "Label               : %s", text8(label));
    ZOV_PRINT(fn, "Uuid                : %s", text8(uuid));
    ZOV_EXIT(fn);
}

ZOV_ReturnCode ZOV_MQSI_Resource::getRecords(ZOV_Record_Set*) {
    static constexpr char fn[] = "ZOV_MQSI_Resource::getRecords";
    ZOV_ENTRY(fn);
    ZOV_EXIT_RC(fn, ZOV_RC_NOT_FOUND);
    return ZOV_RC_NOT_FOUND;
}

// ---------------------------------------------------------------------------
// ZOV_MQSI_Resource_Set

int ZOV_MQSI_Resource_Set::insert(ZOV_MQSI_Resource* resource) {
    static constexpr char fn[] = "ZOV_MQSI_Resource_Set::insert";
    ZOV_ENTRY(fn);
    const int result = store(resource);
    ZOV_EXIT_RC(fn, result);
    return result;
}

int ZOV_MQSI_Resource_Set::store(ZOV_MQSI_Resource* resource) {
    if (resource == nullptr)
        return ZOV_RC_NULL;
    if (contains(resource))
        return ZOV_RC_OK;
    try {
        members.push_back(resource);
    } catch (const std::bad_alloc&) {
        return ZOV_RC_ALLOCATION;
    }
    try {
        positions.emplace(resource, members.size() - 1);
    } catch (const std::bad_alloc&) {
        members.pop_back();
        return ZOV_RC_ALLOCATION;
    }
    return ZOV_RC_OK;
}

ZOV_MQSI_Resource* ZOV_MQSI_Resource_Set::findAlike(const ZOV_Resource_ID* id) const {
    static constexpr char fn[] = "ZOV_MQSI_Resource_Set::findAlike";
    ZOV_ENTRY(fn);
    ZOV_MQSI_Resource* found = nullptr;
    for (size_t i = 0; id != nullptr && found == nullptr && i < members.size(); ++i) {
        if (members[i]->alike(id))
            found = members[i];
    }
    ZOV_EXIT_PTR(fn, found);
    return found;
}

bool ZOV_MQSI_Resource_Set::contains(const ZOV_MQSI_Resource* resource) const {
    return positions.count(resource) != 0;
}

void ZOV_MQSI_Resource_Set::removeAndDestroy(ZOV_MQSI_Resource* resource) {
    static constexpr char fn[] = "ZOV_MQSI_Resource_Set::removeAndDestroy";
    ZOV_ENTRY(fn);
    const auto found = positions.find(resource);
    if (found != positions.end()) {
        // Swap with the last member so that removal costs the same at any place.
        const size_t index = found->second;
        positions.erase(found);
        if (index + 1 != members.size()) {
            members[index] = members.back();
            positions[members[index]] = index;  // the key exists: no allocation
        }
        members.pop_back();
        delete resource;
    }
    ZOV_EXIT(fn);
}

void ZOV_MQSI_Resource_Set::cleanup() {
    static constexpr char fn[] = "ZOV_MQSI_Resource_Set::cleanup";
    ZOV_ENTRY(fn);
    // Detach the members first: a member's destructor must not meet itself
    // in a set that is being emptied.
    std::vector<ZOV_MQSI_Resource*> doomed;
    doomed.swap(members);
    positions.clear();
    for (ZOV_MQSI_Resource* member : doomed)
        delete member;
    ZOV_EXIT(fn);
}

void ZOV_MQSI_Resource_Set::print() {
    static constexpr char fn[] = "ZOV_MQSI_Resource_Set::print";
    ZOV_ENTRY(fn);
    for (ZOV_MQSI_Resource* member : members)
        member->print();
    ZOV_EXIT(fn);
}

// ---------------------------------------------------------------------------
// ZOV_Identity_Index

size_t ZOV_Identity_Index::hash(const ZOV_Resource_ID& id) {
    return hashString(id.uuid) * 31 + hashString(id.label);
}

ZOV_Identity_Index::ZOV_Identity_Index(const ZOV_MQSI_Resource_Set& set) : set(set) {
    try {
        byIdentity.reserve(set.entries());
    } catch (const std::bad_alloc&) {
        status = ZOV_RC_ALLOCATION;
    }
    for (size_t i = 0; i < set.entries() && status == 0; ++i)
        add(set.at(i));
}

void ZOV_Identity_Index::add(ZOV_MQSI_Resource* resource) {
    if (resource == nullptr || status != 0)
        return;
    try {
        byIdentity.emplace(hash(resource->getResourceId()), resource);
    } catch (const std::bad_alloc&) {
        status = ZOV_RC_ALLOCATION;
    }
}

void ZOV_Identity_Index::remove(const ZOV_MQSI_Resource* resource) {
    if (resource == nullptr || status != 0)
        return;
    const auto range = byIdentity.equal_range(hash(resource->getResourceId()));
    for (auto entry = range.first; entry != range.second; ++entry) {
        if (entry->second == resource) {
            byIdentity.erase(entry);
            return;
        }
    }
}

ZOV_MQSI_Resource* ZOV_Identity_Index::find(const ZOV_Resource_ID* id) const {
    if (id == nullptr)
        return nullptr;
    if (status != 0)
        return set.findAlike(id);
    const auto range = byIdentity.equal_range(hash(*id));
    for (auto entry = range.first; entry != range.second; ++entry) {
        if (entry->second->alike(id))
            return entry->second;
    }
    return nullptr;
}

#include "zov/core/zovcevtr.h"

#include "zov/core/zovcimag.h"
#include "zov/core/zovctool.h"

static constexpr char _ZOV_UNIT_[] = "zovcevtr";

ZOV_EVTR::ZOV_EVTR(const ZOV_String* egLabel, const ZOV_String* mfLabel,
                   const ZOV_String* nodeLabel, ZOV_NodeType type, const ZOV_String* text)
    : ZOV_Record(ZOV_RT_EVENT_TEMPLATE, egLabel != nullptr ? 1 : 0), nodeType(type) {
    static constexpr char fn[] = "ZOV_EVTR::ZOV_EVTR";
    ZOV_ENTRY(fn);
    if (egLabel != nullptr)
        this->egLabel = *egLabel;
    if (mfLabel != nullptr)
        this->mfLabel = *mfLabel;
    if (nodeLabel != nullptr)
        this->nodeLabel = *nodeLabel;
    if (text != nullptr)
        this->text = *text;
    ZOV_EXIT(fn);
}

ZOV_EVTR& ZOV_EVTR::operator=(const ZOV_EVTR& other) {
    if (&other == this)
        return *this;
    ZOV_Record::operator=(other);
    egLabel = other.egLabel;
    mfLabel = other.mfLabel;
    nodeLabel = other.nodeLabel;
    nodeType = other.nodeType;
    text = other.text;
    return *this;
}

int ZOV_EVTR::operator==(const ZOV_EVTR& other) const {
    static constexpr char fn[] = "ZOV_EVTR::operator==";
    ZOV_ENTRY(fn);
    const int result = egLabel == other.egLabel && mfLabel == other.mfLabel &&
                               nodeLabel == other.nodeLabel && nodeType == other.nodeType &&
                               text == other.text
                           ? 1
                           : 0;
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_NodeType ZOV_EVTR::getNodeType() const {
    return nodeType == ZOV_NT_INPUT || nodeType == ZOV_NT_OUTPUT
               ? static_cast<ZOV_NodeType>(nodeType)
               : ZOV_NT_OTHER;
}

int ZOV_EVTR::size() const {
    return ZOV_Record_Header::kSize + egLabel.binarySize() + mfLabel.binarySize() +
           nodeLabel.binarySize() + kNodeTypeSize + text.binarySize();
}

void* ZOV_EVTR::getBounded(void* position, const void* limit) {
    static constexpr char fn[] = "ZOV_EVTR::get";
    ZOV_ENTRY(fn);
    void* next = position != nullptr ? getHeaderImage(position, limit) : nullptr;
    if (next != nullptr)
        next = ZOV_GetStringImage(egLabel, next, limit);
    if (next != nullptr)
        next = ZOV_GetStringImage(mfLabel, next, limit);
    if (next != nullptr)
        next = ZOV_GetStringImage(nodeLabel, next, limit);
    if (next != nullptr && ZOV_ImageFits(next, limit, kNodeTypeSize)) {
        ZOV_LoadField(next, 0, nodeType);
        next = ZOV_GetStringImage(text, static_cast<unsigned char*>(next) + kNodeTypeSize, limit);
    } else {
        next = nullptr;
    }
    if (next == nullptr &&
        (egLabel.status != 0 || mfLabel.status != 0 || nodeLabel.status != 0 || text.status != 0)) {
        ZOV_LOG_ALLOCATION_ERROR(fn);
    }
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void* ZOV_EVTR::put(void* position) {
    static constexpr char fn[] = "ZOV_EVTR::put";
    ZOV_ENTRY(fn);
    void* next = nullptr;
    // A text that could not be held would leave a short image: write nothing.
    const bool whole =
        egLabel.status == 0 && mfLabel.status == 0 && nodeLabel.status == 0 && text.status == 0;
    if (position != nullptr && whole) {
        next = putHeaderImage(position);
        next = egLabel.put(next);
        next = mfLabel.put(next);
        next = nodeLabel.put(next);
        ZOV_StoreField(next, 0, nodeType);
        next = text.put(static_cast<unsigned char*>(next) + kNodeTypeSize);
    }
    ZOV_EXIT_PTR(fn, next);
    return next;
}

namespace {

const char* narrow(ZOV_String& text) {
    const char* value = text.getcValue();
    return value != nullptr ? value : "";
}

}  // namespace

void ZOV_EVTR::print() {
    static constexpr char fn[] = "ZOV_EVTR::print";
    ZOV_ENTRY(fn);
    ZOV_Record::print();
    ZOV_PRINT(fn, "Execution Group     : %s", narrow(egLabel));
    ZOV_PRINT(fn, "Message Flow        : %s", narrow(mfLabel));
    ZOV_PRINT(fn, "Node                : %s", narrow(nodeLabel));
    ZOV_PRINT(fn, "Node Type           : %i", nodeType);
    ZOV_PRINT(fn, "Message text        : %s", narrow(text));
    ZOV_EXIT(fn);
}

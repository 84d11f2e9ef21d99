#include "zov/core/zovcstir.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "zov/core/zovcimag.h"
#include "zov/core/zovcquad.h"
#include "zov/core/zovctool.h"

static constexpr char _ZOV_UNIT_[] = "zovcstir";

ZOV_STIR::ZOV_STIR(int generateId) : ZOV_Record(ZOV_RT_STATISTICS, generateId) {
    static constexpr char fn[] = "ZOV_STIR::ZOV_STIR";
    ZOV_ENTRY(fn);
    reset();
    ZOV_EXIT(fn);
}

ZOV_STIR& ZOV_STIR::operator=(const ZOV_STIR& other) {
    if (&other == this)
        return *this;
    ZOV_Record::operator=(other);
    reset();
    *this += other;
    return *this;
}

void ZOV_STIR::reset() {
    static constexpr char fn[] = "ZOV_STIR::reset";
    ZOV_ENTRY(fn);
    messageCount = 0;
    sumSize = 0;
    maxSize = minSize = 0;
    sumElapsed = 0;
    maxElapsed = minElapsed = 0;
    sumQueued = 0;
    maxQueued = minQueued = 0;
    firstCollection = lastCollection = 0;
    ZOV_EXIT(fn);
}

int32_t ZOV_STIR::toMilliseconds(double seconds) {
    double t = seconds * 1000.0;
    if (std::isnan(t) || t >= 2147483647.0)
        t = 2147483647.0;
    if (!(t > 0.0))
        t = 0.0;
    return static_cast<int32_t>(t);  // truncates toward zero
}

bool ZOV_STIR::isAtMaximum() const {
    return ZOV_WholeAtLeast(messageCount, kMaximumCount);
}

ZOV_ReturnCode ZOV_STIR::applyMessage(double queuedTime, double elapsedTime, int size) {
    // The count is decoded once for the check and the increment.
    uint64_t count = 0;
    const bool wholeCount = zov_quad::wholeOf(messageCount, count);
    if (wholeCount ? count >= kMaximumCount : isAtMaximum()) {
        return ZOV_RC_MAXIMUM;
    }
    // One clock read; the collection times are plain second counts, so no
    // broken-down time is needed here.
    const uint32_t now = ZOV_SecondsSince1901();
    const int32_t elapsed = toMilliseconds(elapsedTime);
    const int32_t queued = toMilliseconds(queuedTime);

    // The sums hold whole numbers: added exactly without software floating
    // point, with the bytes binary128 addition gives (zovcquad.h).
    if (wholeCount)
        messageCount = zov_quad::fromWhole(count + 1);
    else
        ZOV_AddWhole(messageCount, 1);
    ZOV_AddWhole(sumSize, size);
    ZOV_AddWhole(sumElapsed, elapsed);
    ZOV_AddWhole(sumQueued, queued);
    if (firstCollection == 0) {
        maxSize = minSize = size;
        maxElapsed = minElapsed = elapsed;
        maxQueued = minQueued = queued;
        firstCollection = now;
    } else {
        maxSize = std::max(maxSize, size);
        minSize = std::min(minSize, size);
        maxElapsed = std::max(maxElapsed, elapsed);
        minElapsed = std::min(minElapsed, elapsed);
        maxQueued = std::max(maxQueued, queued);
        minQueued = std::min(minQueued, queued);
    }
    lastCollection = now;
    return ZOV_RC_OK;
}

ZOV_ReturnCode ZOV_STIR::updateStatistics(double queuedTime, double elapsedTime, int size) {
    static constexpr char fn[] = "ZOV_STIR::updateStatistics";
    ZOV_ENTRY(fn);
    const ZOV_ReturnCode result = applyMessage(queuedTime, elapsedTime, size);
    ZOV_EXIT_RC(fn, result);
    return result;
}

ZOV_STIR& ZOV_STIR::operator+=(const ZOV_STIR& other) {
    static constexpr char fn[] = "ZOV_STIR::operator+=";
    ZOV_ENTRY(fn);
    if (other.firstCollection != 0) {
        messageCount += other.messageCount;
        sumSize += other.sumSize;
        sumElapsed += other.sumElapsed;
        sumQueued += other.sumQueued;
        if (firstCollection != 0) {
            maxSize = std::max(maxSize, other.maxSize);
            minSize = std::min(minSize, other.minSize);
            maxElapsed = std::max(maxElapsed, other.maxElapsed);
            minElapsed = std::min(minElapsed, other.minElapsed);
            maxQueued = std::max(maxQueued, other.maxQueued);
            minQueued = std::min(minQueued, other.minQueued);
        } else {
            maxSize = other.maxSize;
            minSize = other.minSize;
            maxElapsed = other.maxElapsed;
            minElapsed = other.minElapsed;
            maxQueued = other.maxQueued;
            minQueued = other.minQueued;
            firstCollection = other.firstCollection;
        }
        firstCollection = std::min(firstCollection, other.firstCollection);
        lastCollection = std::max(lastCollection, other.lastCollection);
    }
    ZOV_EXIT(fn);
    return *this;
}

// The body fields, in image order. Stores go field by field in that order,
// so an outside reader sees the fields change in the same order whether the
// whole record or only its body is written.
void ZOV_STIR::loadBody(const void* position) {
    ZOV_LoadField(position, kMessageCountOffset, messageCount);
    ZOV_LoadField(position, kSumSizeOffset, sumSize);
    ZOV_LoadField(position, kMaxSizeOffset, maxSize);
    ZOV_LoadField(position, kMinSizeOffset, minSize);
    ZOV_LoadField(position, kSumElapsedOffset, sumElapsed);
    ZOV_LoadField(position, kMaxElapsedOffset, maxElapsed);
    ZOV_LoadField(position, kMinElapsedOffset, minElapsed);
    ZOV_LoadField(position, kSumQueuedOffset, sumQueued);
    ZOV_LoadField(position, kMaxQueuedOffset, maxQueued);
    ZOV_LoadField(position, kMinQueuedOffset, minQueued);
    ZOV_LoadField(position, kFirstCollectionOffset, firstCollection);
    ZOV_LoadField(position, kLastCollectionOffset, lastCollection);
}

void ZOV_STIR::storeBody(void* position) const {
    ZOV_StoreField(position, kMessageCountOffset, messageCount);
    ZOV_StoreField(position, kSumSizeOffset, sumSize);
    ZOV_StoreField(position, kMaxSizeOffset, maxSize);
    ZOV_StoreField(position, kMinSizeOffset, minSize);
    ZOV_StoreField(position, kSumElapsedOffset, sumElapsed);
    ZOV_StoreField(position, kMaxElapsedOffset, maxElapsed);
    ZOV_StoreField(position, kMinElapsedOffset, minElapsed);
    ZOV_StoreField(position, kSumQueuedOffset, sumQueued);
    ZOV_StoreField(position, kMaxQueuedOffset, maxQueued);
    ZOV_StoreField(position, kMinQueuedOffset, minQueued);
    ZOV_StoreField(position, kFirstCollectionOffset, firstCollection);
    ZOV_StoreField(position, kLastCollectionOffset, lastCollection);
}

ZOV_ReturnCode ZOV_STIR::updateImage(void* position, double queuedTime, double elapsedTime,
                                     int size) {
    loadBody(position);
    const ZOV_ReturnCode result = applyMessage(queuedTime, elapsedTime, size);
    if (result == ZOV_RC_OK)
        storeBody(position);
    return result;
}

void* ZOV_STIR::getBounded(void* position, const void* limit) {
    static constexpr char fn[] = "ZOV_STIR::get";
    ZOV_ENTRY(fn);
    void* next = nullptr;
    // The image has a fixed size: check it whole so that a short one leaves
    // the object untouched.
    if (position != nullptr && ZOV_ImageFits(position, limit, kSize)) {
        getHeaderImage(position, nullptr);
        loadBody(position);
        next = static_cast<unsigned char*>(position) + kSize;
    }
    ZOV_EXIT_PTR(fn, next);
    return next;
}

void* ZOV_STIR::put(void* position) {
    static constexpr char fn[] = "ZOV_STIR::put";
    ZOV_ENTRY(fn);
    void* next = nullptr;
    if (position != nullptr) {
        putHeaderImage(position);
        storeBody(position);
        next = static_cast<unsigned char*>(position) + kSize;
    }
    ZOV_EXIT_PTR(fn, next);
    return next;
}

namespace {

// One collection-time line: the local date and time, or "n/a" for 0.
void printCollection(const char* fn, const char* prefix, uint32_t seconds) {
    char text[kZOVTimeTextSize] = "n/a";
    if (seconds != 0)
        ZOV_LocalTimeText(seconds, text);
    ZOV_PRINT(fn, "%s%s", prefix, text);
}

}  // namespace

void ZOV_STIR::print() {
    static constexpr char fn[] = "ZOV_STIR::print";
    ZOV_ENTRY(fn);
    ZOV_Record::print();
    printCollection(fn, "First Collection    : ", firstCollection);
    printCollection(fn, "Last Collection     : ", lastCollection);
    // binary128 has no printf conversion of its own; the long double form
    // keeps every whole number below 2^64 exact.
    ZOV_PRINT(fn, "Message Count       : %12.10Lg", static_cast<long double>(messageCount));
    ZOV_PRINT(fn, "Max Size            : %12i", maxSize);
    ZOV_PRINT(fn, "Min Size            : %12i", minSize);
    ZOV_PRINT(fn, "Sum Size            : %12.10Lg", static_cast<long double>(sumSize));
    ZOV_PRINT(fn, "Max elapsed time    : %12i", maxElapsed);
    ZOV_PRINT(fn, "Min elapsed time    : %12i", minElapsed);
    ZOV_PRINT(fn, "Sum elapsed time    : %12.10Lg", static_cast<long double>(sumElapsed));
    ZOV_PRINT(fn, "Max queued time     : %12i", maxQueued);
    ZOV_PRINT(fn, "Min queued time     : %12i", minQueued);
    ZOV_PRINT(fn, "Sum queued time     : %12.10Lg", static_cast<long double>(sumQueued));
    ZOV_EXIT(fn);
}

// Replaces the global allocation functions of a test program so that the
// nothrow operators, which the system uses for everything it must survive
// without, can be made to fail: while a thread is armed, its n-th nothrow
// allocation returns null. The failure's caller and call stack are kept for
// the report, and every nothrow allocation made while armed and not freed is
// counted, a leak check that works in every build. The throwing operators
// (the harness, the standard containers) are never made to fail.
// Include in exactly one translation unit of a program.
#pragma once

#include <execinfo.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <new>

namespace zovinject {

// Only the thread that armed the allocator counts.
inline thread_local bool armed = false;
inline thread_local int nothrowCalls = 0;
inline thread_local int failAt = 0;  // 0: none fails

// What the failed allocation was, for the report.
inline thread_local bool failedArray = false;
inline thread_local const void* failedCaller = nullptr;
inline constexpr int kFrames = 10;
inline thread_local void* failedFrames[kFrames];
inline thread_local int failedFrameCount = 0;

// Nothrow allocations made while armed and not yet freed. Open addressing
// over a fixed table, so that the bookkeeping itself never allocates.
inline constexpr size_t kLiveSlots = 1 << 16;
inline const void* const kTombstone = reinterpret_cast<const void*>(1);
inline const void* liveTable[kLiveSlots];
inline std::atomic_flag liveLock = ATOMIC_FLAG_INIT;
inline long liveCount = 0;

inline size_t slotOf(const void* p) {
    return (reinterpret_cast<uintptr_t>(p) >> 4) * 2654435761u % kLiveSlots;
}

inline void rememberLive(const void* p) {
    while (liveLock.test_and_set(std::memory_order_acquire)) {
    }
    for (size_t i = slotOf(p), n = 0; n < kLiveSlots; i = (i + 1) % kLiveSlots, ++n) {
        if (liveTable[i] == nullptr || liveTable[i] == kTombstone) {
            liveTable[i] = p;
            ++liveCount;
            break;
        }
    }
    liveLock.clear(std::memory_order_release);
}

inline void forgetLive(const void* p) {
    while (liveLock.test_and_set(std::memory_order_acquire)) {
    }
    if (liveCount > 0) {
        for (size_t i = slotOf(p), n = 0; n < kLiveSlots && liveTable[i] != nullptr;
             i = (i + 1) % kLiveSlots, ++n) {
            if (liveTable[i] == p) {
                liveTable[i] = kTombstone;
                --liveCount;
                break;
            }
        }
    }
    liveLock.clear(std::memory_order_release);
}

// Out of line, so that the compiler does not pair an inlined operator new
// with free and warn about a mismatch that is intended here.
__attribute__((noinline)) inline void* allocate(std::size_t n) {
    void* p = std::malloc(n != 0 ? n : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

__attribute__((noinline)) inline void release(void* p) noexcept {
    if (p != nullptr)
        forgetLive(p);
    std::free(p);
}

__attribute__((noinline)) inline void* allocateOrFail(std::size_t n, bool array,
                                                      const void* caller) noexcept {
    if (!armed)
        return std::malloc(n != 0 ? n : 1);
    if (++nothrowCalls == failAt) {
        failedArray = array;
        failedCaller = caller;
        failedFrameCount = backtrace(failedFrames, kFrames);
        return nullptr;
    }
    void* p = std::malloc(n != 0 ? n : 1);
    if (p != nullptr)
        rememberLive(p);
    return p;
}

// Arms the calling thread with its `which`-th nothrow allocation failing (0:
// none) and the counts cleared.
inline void arm(int which) {
    nothrowCalls = 0;
    failAt = which;
    failedArray = false;
    failedCaller = nullptr;
    failedFrameCount = 0;
    armed = true;
}

inline void disarm() {
    armed = false;
}

// Runs `body` with its n-th nothrow allocation failing, for n = 1, 2, ...
// until it makes fewer than n. Returns the number of failures made.
inline int eachFailure(const std::function<void()>& body) {
    int n = 1;
    for (;; ++n) {
        arm(n);
        body();
        disarm();
        if (nothrowCalls < n)
            break;
    }
    return n - 1;
}

}  // namespace zovinject

void* operator new(std::size_t n) {
    return zovinject::allocate(n);
}
void* operator new[](std::size_t n) {
    return zovinject::allocate(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return zovinject::allocateOrFail(n, false, __builtin_return_address(0));
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return zovinject::allocateOrFail(n, true, __builtin_return_address(0));
}
void operator delete(void* p) noexcept {
    zovinject::release(p);
}
void operator delete[](void* p) noexcept {
    zovinject::release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    zovinject::release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    zovinject::release(p);
}

// Replaces the global allocation functions (include in one translation unit):
// inside an AllocationScope the calling thread's allocations are counted, one can
// be made to fail (null or std::bad_alloc), and those never freed are known; a
// subclass chooses which count and which fails.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace zovtest {

struct Allocation {
    bool nothrow;
    bool array;
    const void* caller;  // return address of the operator's caller
};

class AllocationScope {
  public:
    explicit AllocationScope(int failAt = 0) : failAt_(failAt), previous_(current) {
        current = this;
    }
    virtual ~AllocationScope() { current = previous_; }
    AllocationScope(const AllocationScope&) = delete;
    AllocationScope& operator=(const AllocationScope&) = delete;

    int count() const { return count_; }
    // Counted allocations not freed since the scope began.
    long unfreed() const { return liveCount - liveAtStart_; }

    // Hooks run inside operator new: they must not allocate with it.
    virtual bool counts(const Allocation&) { return true; }
    virtual bool fails(int n, const Allocation&) { return n == failAt_; }

    // Every block's header tells whether it is counted, for the leak count.
    static constexpr std::size_t kHeader = 16;
    static constexpr unsigned kCountedTag = 0xa110c8edu;
    inline static thread_local AllocationScope* current = nullptr;
    inline static std::atomic<long> liveCount{0};

    __attribute__((noinline)) static void* allocate(std::size_t n,
                                                    const Allocation& what) noexcept {
        AllocationScope* scope = current;
        const bool counted = scope != nullptr && scope->counts(what);
        if (counted && scope->fails(++scope->count_, what))
            return nullptr;
        auto* block = static_cast<unsigned char*>(std::malloc(n + kHeader));
        if (block == nullptr)
            return nullptr;
        *reinterpret_cast<unsigned*>(block) = counted ? kCountedTag : 0;
        liveCount += counted ? 1 : 0;
        return block + kHeader;
    }
    // Out of line: GCC would warn about an inlined operator new paired with free.
    __attribute__((noinline)) static void release(void* p) noexcept {
        if (p == nullptr)
            return;
        auto* block = static_cast<unsigned char*>(p) - kHeader;
        liveCount -= *reinterpret_cast<unsigned*>(block) == kCountedTag ? 1 : 0;
        std::free(block);
    }

  private:
    int failAt_;  // 0: none fails
    int count_ = 0;
    long liveAtStart_ = liveCount;
    AllocationScope* previous_;
};

}  // namespace zovtest

void* operator new(std::size_t n) {
    if (void* p =
            zovtest::AllocationScope::allocate(n, {false, false, __builtin_return_address(0)}))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    if (void* p = zovtest::AllocationScope::allocate(n, {false, true, __builtin_return_address(0)}))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return zovtest::AllocationScope::allocate(n, {true, false, __builtin_return_address(0)});
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return zovtest::AllocationScope::allocate(n, {true, true, __builtin_return_address(0)});
}
void operator delete(void* p) noexcept {
    zovtest::AllocationScope::release(p);
}
void operator delete[](void* p) noexcept {
    zovtest::AllocationScope::release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    zovtest::AllocationScope::release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    zovtest::AllocationScope::release(p);
}

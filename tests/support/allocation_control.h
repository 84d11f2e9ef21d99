// Replaces the global allocation functions of a test program with ones that
// count the allocations of the calling thread and can make them fail on
// demand. Include it in exactly one translation unit of the program.
#pragma once

#include <cstdlib>
#include <new>

namespace zovtest {

struct AllocationControl {
    // Counting and failing apply only to the thread that switched them on.
    static inline thread_local bool counting = false;
    static inline thread_local int count = 0;
    // When above 0, that many allocations succeed and the next one fails.
    static inline thread_local int failAfter = 0;
};

// Counts (and may fail) the allocations of this thread for its lifetime.
class AllocationScope {
  public:
    explicit AllocationScope(int failAfter = 0) {
        AllocationControl::counting = true;
        AllocationControl::count = 0;
        AllocationControl::failAfter = failAfter;
    }
    ~AllocationScope() {
        AllocationControl::counting = false;
        AllocationControl::failAfter = 0;
    }
    AllocationScope(const AllocationScope&) = delete;
    AllocationScope& operator=(const AllocationScope&) = delete;
    int count() const { return AllocationControl::count; }
};

namespace detail {
inline void* allocate(std::size_t n) {
    if (AllocationControl::counting) {
        ++AllocationControl::count;
        if (AllocationControl::failAfter > 0 &&
            AllocationControl::count == AllocationControl::failAfter) {
            return nullptr;
        }
    }
    return std::malloc(n != 0 ? n : 1);
}
// Out of line, so that the compiler does not pair an inlined operator new
// with free and warn about a mismatch that is intended here.
__attribute__((noinline)) inline void release(void* p) {
    std::free(p);
}
}  // namespace detail

}  // namespace zovtest

void* operator new(std::size_t n) {
    void* p = zovtest::detail::allocate(n);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t n) {
    return operator new(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return zovtest::detail::allocate(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return zovtest::detail::allocate(n);
}
void operator delete(void* p) noexcept {
    zovtest::detail::release(p);
}
void operator delete[](void* p) noexcept {
    zovtest::detail::release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    zovtest::detail::release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    zovtest::detail::release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    zovtest::detail::release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    zovtest::detail::release(p);
}

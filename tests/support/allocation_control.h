// Replaces the global allocation functions of a test program with ones that
// count the calling thread's allocations inside an AllocationScope and can
// fail the n-th of them. Include in exactly one translation unit.
#pragma once

#include <cstdlib>
#include <new>

namespace zovtest {

inline thread_local bool gCounting = false;
inline thread_local int gCount = 0;
inline thread_local int gFailAt = 0;  // 0: none fails

class AllocationScope {
  public:
    explicit AllocationScope(int failAt = 0) { gCounting = true, gCount = 0, gFailAt = failAt; }
    ~AllocationScope() { gCounting = false, gFailAt = 0; }
    int count() const { return gCount; }
};

inline void* allocate(std::size_t n) {
    if (gCounting && ++gCount == gFailAt)
        return nullptr;
    return std::malloc(n != 0 ? n : 1);
}
// Out of line, so that the compiler does not pair an inlined operator new
// with free and warn about the intended mismatch.
__attribute__((noinline)) inline void release(void* p) {
    std::free(p);
}

}  // namespace zovtest

void* operator new(std::size_t n) {
    void* p = zovtest::allocate(n);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}
void* operator new[](std::size_t n) {
    return operator new(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return zovtest::allocate(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return zovtest::allocate(n);
}
void operator delete(void* p) noexcept {
    zovtest::release(p);
}
void operator delete[](void* p) noexcept {
    zovtest::release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    zovtest::release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    zovtest::release(p);
}

#include "tools/lumenaview_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace lumenaview {

namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

uintptr_t pageSize() {
    static const uintptr_t size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return size;
}

}  // namespace

void preferHugePages(void* data, size_t bytes) {
    const auto start = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (start + bytes) & ~(kHugePage - 1);
    if (first < end)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

void prefaultForReading(const void* data, size_t bytes) {
    if (bytes == 0)
        return;
    const auto start = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = start & ~(pageSize() - 1);
    madvise(reinterpret_cast<void*>(first), start + bytes - first, MADV_POPULATE_READ);
}

}  // namespace lumenaview

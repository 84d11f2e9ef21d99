#include "tools/lumenaview_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace lumenaview {

namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

}  // namespace

void preferHugePages(void* data, size_t bytes) {
    const auto start = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (start + bytes) & ~(kHugePage - 1);
    if (first < end)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

void prefaultForReading(const void* data, size_t bytes) {
#ifdef MADV_POPULATE_READ  // C libraries before 2.35 do not name it
    static const auto pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<uintptr_t>(data);
    const uintptr_t first = start & ~(pageSize - 1);
    if (bytes != 0)
        madvise(reinterpret_cast<void*>(first), start + bytes - first, MADV_POPULATE_READ);
#else
    (void)data;
    (void)bytes;
#endif
}

}  // namespace lumenaview

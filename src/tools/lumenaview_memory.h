// Advice to the kernel for the large buffers of a scrape (tens of megabytes
// for a full statistics area). Faulting such a buffer in a 4 KiB page at a
// time costs more processor time than writing its bytes, more so under a
// hypervisor that shadows the page tables. Advice only: a kernel that does
// not know it leaves the buffer as it was.
#pragma once

#include <cstddef>

namespace lumenaview {

// Backs the 2 MiB-aligned part of `bytes` at `data` with huge pages when
// transparent huge pages are enabled for advised memory. Call it before the
// buffer is first written.
void preferHugePages(void* data, size_t bytes);

// Maps the pages of `bytes` at `data` (a read-only attachment of a segment)
// in one call before they are read, rather than at a fault each.
void prefaultForReading(const void* data, size_t bytes);

}  // namespace lumenaview

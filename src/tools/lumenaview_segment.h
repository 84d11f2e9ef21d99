// Checks of a segment image before anything decodes it: the segment header
// and the header of every area, located the way the library carves them.
//
// Segment image (host byte order; every header has the 64-byte layout of
// zovcmema.h):
//   +0        64  segment header, eyecatcher "zovcshme", size = segment bytes
//   +64       S   first area carved (statistics "zovcstar" in practice)
//   +64 + S   S   second area (event templates "zovcetar")
//   +64 + 2S  S   third area (event data "zovcedar")
// Areas lie back to back, each header's size leading to the next; the first
// zero byte where a header would start ends the list. The rest is zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/lumenaview_model.h"
#include "zov/core/zovcmema.h"

namespace lumenaview {

inline constexpr auto& kSegmentEyecatcher = kZOVSegmentEyecatcher;
inline constexpr auto& kStatsEyecatcher = kZOVStatsAreaEyecatcher;
inline constexpr auto& kTemplatesEyecatcher = kZOVTemplateAreaEyecatcher;
inline constexpr auto& kEventDataEyecatcher = kZOVEventDataAreaEyecatcher;

struct SegmentLayout {
    // Empty when the image is a segment of ours; else why it is not.
    std::string error;
    uint32_t size = 0;  // the bytes the checks and decoders may use
    std::vector<AreaView> areas;
    std::vector<Problem> problems;

    // The first area with `eyecatcher`, or null.
    const AreaView* find(const char* eyecatcher) const;
};

// Checks the image of `length` bytes. A foreign or truncated segment sets
// `error`; a damaged area header is a problem at its offset, and the walk
// goes on where the equal-sized layout puts the next area.
SegmentLayout inspectSegment(const unsigned char* bytes, size_t length);

}  // namespace lumenaview

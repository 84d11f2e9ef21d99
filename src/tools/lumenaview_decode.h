// Decoding a private segment image in place: each area is walked once with
// the core's area walk (the library reader's checks, every bound), every
// record is read where it lies through the shared layouts, and the tree and
// its sums are rebuilt by the library's rules (statistics merged by the
// statistics record's own rule), so that the viewer shows exactly what the
// library would compute, without building an object per record.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "tools/lumenaview_capture.h"
#include "tools/lumenaview_model.h"

namespace lumenaview {

struct DecodeOptions {
    bool events = false;
    // Record IDs of the event data records shown before; null shows every
    // event present. Replaced by the IDs present now, so that each refresh of
    // a watch shows only the events new since the last look.
    std::unordered_set<std::string>* seenEvents = nullptr;
};

// The statistics records of an image: the stretches that updaters rewrite in
// place and that a capture re-reads until they are stable.
std::vector<Span> locateStatistics(SegmentImage& image);

// The label of the resource record image at `record`, as UTF-8 (a lone
// surrogate becomes U+FFFD), as every view shows it. The area walk has
// checked that the image, its strings included, lies inside the area.
std::string resourceLabel(const unsigned char* record);

// Everything the image tells about the broker `uuid`. What cannot be read is
// reported in the view (its error, or problems located by offset); the rest
// is still decoded.
BrokerView decodeBroker(const std::string& uuid, SegmentImage& image, const DecodeOptions& options);

}  // namespace lumenaview

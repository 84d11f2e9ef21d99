// Decoding a private segment image with the library's own readers: each area
// is read by the library's area class pointed at the image (its read takes no
// lock and checks every bound), and the tree and its sums come from the
// library's resource classes, so that the viewer shows exactly what the
// library would compute.
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

// Everything the image tells about the broker `uuid`. What cannot be read is
// reported in the view (its error, or problems located by offset); the rest
// is still decoded.
BrokerView decodeBroker(const std::string& uuid, SegmentImage& image, const DecodeOptions& options);

}  // namespace lumenaview

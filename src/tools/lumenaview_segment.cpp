#include "tools/lumenaview_segment.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tools/lumenaview_units.h"
#include "zov/core/zovcimag.h"
#include "zov/core/zovcmema.h"

namespace lumenaview {

namespace {

using MM = ZOV_Memory_Manager;
constexpr size_t kHeaderSize = MM::kHeaderSize;
constexpr const char* kKnownAreas[] = {kStatsEyecatcher, kTemplatesEyecatcher,
                                       kEventDataEyecatcher};

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, pattern, args...);
    return buffer;
}

std::string eyecatcherText(const unsigned char* header) {
    return toPrintable(header + MM::kEyecatcherOffset, MM::kEyecatcherSize);
}

bool hasEyecatcher(const unsigned char* header, const char* name) {
    unsigned char expected[MM::kEyecatcherSize] = {};
    std::memcpy(expected, name, std::min(std::strlen(name), sizeof expected));
    return std::memcmp(header + MM::kEyecatcherOffset, expected, sizeof expected) == 0;
}

const char* knownArea(const unsigned char* header) {
    for (const char* name : kKnownAreas) {
        if (hasEyecatcher(header, name))
            return name;
    }
    return nullptr;
}

unixtime loadUnixtime(const unsigned char* header) {
    int32_t f[10];
    for (int i = 0; i < 10; ++i)
        ZOV_LoadField(header, MM::kLastUpdateOffset + 4 * i, f[i]);
    unixtime t{};
    t.seconds = f[0];
    t.minutes = f[1];
    t.hours = f[2];
    t.dayOfMonth = f[3];
    t.month = f[4];
    t.years = f[5];
    t.dayOfWeek = f[6];
    t.dayOfYear = f[7];
    t.daylightSaving = f[8];
    t.milliseconds = f[9];
    return t;
}

AreaView loadArea(const unsigned char* header, size_t offset) {
    AreaView area;
    area.eyecatcher = eyecatcherText(header);
    area.offset = offset;
    ZOV_LoadField(header, MM::kSizeOffset, area.size);
    ZOV_LoadField(header, MM::kNextOffsetOffset, area.nextOffset);
    ZOV_LoadField(header, MM::kLastOffsetOffset, area.lastOffset);
    area.lastUpdate = loadUnixtime(header);
    return area;
}

// Fill levels outside the area are clamped by the library's reader; they are
// still worth a word.
void checkFillLevel(const AreaView& area, std::vector<Problem>& problems) {
    const auto inside = [&](int32_t value) {
        return value >= static_cast<int32_t>(kHeaderSize) &&
               static_cast<uint32_t>(value) <= area.size;
    };
    if (!inside(area.nextOffset) || !inside(area.lastOffset) || area.nextOffset > area.lastOffset) {
        problems.push_back(
            {area.offset + MM::kNextOffsetOffset,
             format("area %s: fill level out of range (next %d, last %d, size %u)",
                    area.eyecatcher.c_str(), area.nextOffset, area.lastOffset, area.size)});
    }
}

bool checkSegmentHeader(const unsigned char* bytes, size_t length, SegmentLayout& layout) {
    if (length < kHeaderSize) {
        layout.error = format("truncated segment: %zu bytes, less than its %zu-byte header", length,
                              kHeaderSize);
        return false;
    }
    if (!hasEyecatcher(bytes, kSegmentEyecatcher)) {
        layout.error = format("foreign segment: eyecatcher \"%s\" where \"%s\" belongs",
                              eyecatcherText(bytes).c_str(), kSegmentEyecatcher);
        return false;
    }
    uint32_t declared = 0;
    ZOV_LoadField(bytes, MM::kSizeOffset, declared);
    if (declared > length) {
        layout.error =
            format("truncated segment: its header declares %u bytes, it has %zu", declared, length);
        return false;
    }
    if (declared < kHeaderSize) {
        layout.error = format("corrupt segment header: size %u", declared);
        return false;
    }
    if (declared < length) {
        layout.problems.push_back(
            {static_cast<size_t>(MM::kSizeOffset),
             format("segment has %zu bytes, its header declares %u: reading %u", length, declared,
                    declared)});
    }
    layout.size = declared;
    return true;
}

}  // namespace

const AreaView* SegmentLayout::find(const char* eyecatcher) const {
    for (const AreaView& area : areas) {
        if (area.eyecatcher == eyecatcher)
            return &area;
    }
    return nullptr;
}

SegmentLayout inspectSegment(const unsigned char* bytes, size_t length) {
    SegmentLayout layout;
    if (!checkSegmentHeader(bytes, length, layout))
        return layout;
    const size_t end = layout.size;
    // The library gives every area the same size S of a 3S + 64 segment: the
    // place to look for the next area when a header cannot be trusted.
    const size_t step = (end - kHeaderSize) % 3 == 0 ? (end - kHeaderSize) / 3 : 0;
    size_t offset = kHeaderSize;
    while (offset + kHeaderSize <= end && bytes[offset] != 0) {
        const unsigned char* header = bytes + offset;
        const AreaView area = loadArea(header, offset);
        const char* known = knownArea(header);
        size_t next = 0;
        if (known == nullptr) {
            layout.problems.push_back(
                {offset, format("corrupt area header: unknown eyecatcher \"%s\"",
                                area.eyecatcher.c_str())});
        } else if (area.size < kHeaderSize || area.size > end - offset) {
            layout.problems.push_back(
                {offset + MM::kSizeOffset,
                 format("corrupt area header: area %s declares %u bytes, %zu remain in the segment",
                        known, area.size, end - offset)});
        } else {
            checkFillLevel(area, layout.problems);
            if (layout.find(known) != nullptr) {
                layout.problems.push_back({offset, format("second area %s ignored", known)});
            } else {
                layout.areas.push_back(area);
            }
            next = offset + area.size;
        }
        if (next == 0) {
            if (step == 0 || (offset - kHeaderSize) % step != 0)
                break;
            next = offset + step;
        }
        offset = next;
    }
    return layout;
}

}  // namespace lumenaview

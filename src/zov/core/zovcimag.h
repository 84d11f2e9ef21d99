// Helpers shared by the record classes for reading and writing their images:
// bounds checks against an optional limit, fixed-width fields copied bytewise
// (images are packed, so fields are never accessed through cast pointers),
// the bounded read of an embedded string image, and the local date and time
// text used by the print lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "zov/core/zovcstrn.h"

// True when `bytes` bytes starting at `position` lie before `limit`; a null
// limit means no bound. Compares addresses as integers so that a position past
// the limit is rejected, not wrapped.
inline bool ZOV_ImageFits(const void* position, const void* limit, size_t bytes) {
    if (limit == nullptr)
        return true;
    const auto start = reinterpret_cast<uintptr_t>(position);
    const auto end = reinterpret_cast<uintptr_t>(limit);
    return end >= start && end - start >= bytes;
}

// Copies a fixed-width field out of / into an image at `offset`.
template <typename T>
inline void ZOV_LoadField(const void* image, size_t offset, T& field) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(&field, static_cast<const unsigned char*>(image) + offset, sizeof field);
}
template <typename T>
inline void ZOV_StoreField(void* image, size_t offset, const T& field) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(static_cast<unsigned char*>(image) + offset, &field, sizeof field);
}

// Reads a string image at `position` into `text`, reading nothing at or
// beyond `limit` (null: no bound). Returns the position after the image, or
// null when the image does not fit, `position` is null, or the string could
// not take the characters (its status is then not 0).
void* ZOV_GetStringImage(ZOV_String& text, void* position, const void* limit);

// "YYYY-MM-DD HH:MM:SS" in local time for a count of seconds since
// 1901-01-01 00:00:00 UTC, written into `buffer` (at least 20 bytes).
inline constexpr int kZOVTimeTextSize = 20;
const char* ZOV_LocalTimeText(uint32_t secondsSince1901, char* buffer);

#include "zov/core/zovcimag.h"

#include <cstdio>
#include <ctime>

#include "zov/core/zovctool.h"

void* ZOV_GetStringImage(ZOV_String& text, void* position, const void* limit) {
    if (position == nullptr || text.status != 0)
        return nullptr;
    void* next = limit == nullptr ? text.get(position) : text.get(position, limit);
    // The string hands back the position itself when it could not take the
    // characters; every image is at least six bytes long.
    if (next == position || text.status != 0)
        return nullptr;
    return next;
}

const char* ZOV_LocalTimeText(uint32_t secondsSince1901, char* buffer) {
    const time_t unixSeconds =
        static_cast<time_t>(static_cast<int64_t>(secondsSince1901) - kZOVSeconds1901);
    struct tm local = {};
    // Seconds since 1901 in 32 bits span the years 1901 to 2037: four-digit
    // years, so the text always fits.
    if (localtime_r(&unixSeconds, &local) == nullptr ||
        std::strftime(buffer, kZOVTimeTextSize, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        std::snprintf(buffer, kZOVTimeTextSize, "%s", "n/a");
    }
    return buffer;
}

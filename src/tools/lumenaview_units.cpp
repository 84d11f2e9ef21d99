#include "tools/lumenaview_units.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "zov/zovctool.h"

namespace lumenaview {

namespace {

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, args...);
    return buffer;
}

}  // namespace

std::string formatDuration(long double milliseconds) {
    const double ms = static_cast<double>(milliseconds);
    if (ms < 10)
        return format("%.2f ms", ms);
    if (ms < 1000)
        return format("%.0f ms", ms);
    const double s = ms / 1000;
    if (s < 10)
        return format("%.3f s", s);
    if (s < 60)
        return format("%.1f s", s);
    const auto whole = static_cast<long long>(s);
    if (whole < 3600)
        return format("%lld min %02lld s", whole / 60, whole % 60);
    if (whole < 86400)
        return format("%lld h %02lld min", whole / 3600, whole / 60 % 60);
    return format("%lld d %02lld h", whole / 86400, whole / 3600 % 24);
}

std::string formatBytes(long double bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024)
        return format("%.0Lf B", bytes);
    long double value = bytes / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    return format("%.1Lf %s", value, kUnits[unit]);
}

std::string formatCount(long double count) {
    return format("%.0Lf", count);
}

std::string formatRate(double perSecond) {
    if (perSecond < 10)
        return format("%.2f/s", perSecond);
    if (perSecond < 100)
        return format("%.1f/s", perSecond);
    return format("%.0f/s", perSecond);
}

int64_t unixSeconds(uint32_t secondsSince1901) {
    if (secondsSince1901 < kZOVSeconds1901)
        return -1;
    return static_cast<int64_t>(secondsSince1901) - kZOVSeconds1901;
}

std::string formatLocalTime(uint32_t secondsSince1901) {
    if (secondsSince1901 == 0)
        return "never";
    const int64_t since1970 = unixSeconds(secondsSince1901);
    if (since1970 < 0)
        return format("(%u s since 1901)", secondsSince1901);
    return formatLocalUnix(since1970);
}

std::string formatLocalUnix(int64_t unixSeconds) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    localtime_r(&t, &local);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    return buffer;
}

std::string formatIsoTime(uint32_t secondsSince1901) {
    const int64_t since1970 = unixSeconds(secondsSince1901);
    return since1970 < 0 ? "" : formatIsoUnix(since1970);
}

std::string formatIsoUnix(int64_t unixSeconds) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

std::string formatUnixtime(const unixtime& t) {
    if (t.years == 0 && t.month == 0 && t.dayOfMonth == 0 && t.hours == 0 && t.minutes == 0 &&
        t.seconds == 0 && t.milliseconds == 0) {
        return "never";
    }
    return format("%04d-%02d-%02d %02d:%02d:%02d.%03d", 1900 + t.years, t.month + 1, t.dayOfMonth,
                  t.hours, t.minutes, t.seconds, t.milliseconds);
}

std::string toHex(const unsigned char* bytes, size_t length) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(2 * length);
    for (size_t i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

std::string toPrintable(const unsigned char* bytes, size_t length) {
    std::string text;
    for (size_t i = 0; i < length && bytes[i] != 0; ++i) {
        text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    }
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

}  // namespace lumenaview

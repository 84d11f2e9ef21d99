#include "tools/lumenaview_units.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "zov/core/zovctool.h"

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

namespace {

// ISO 8601 of a local broken-down time; the offset ("+02:00") comes from the
// zone's rule for that moment.
std::string isoLocal(const std::tm& local, int milliseconds) {
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff;
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    const std::string fraction = milliseconds >= 0 ? format(".%03d", milliseconds) : "";
    return date + fraction +
           format("%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

}  // namespace

std::string formatIsoUnix(int64_t unixSeconds) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    localtime_r(&t, &local);
    return isoLocal(local, -1);
}

std::string formatUnixtime(const unixtime& t) {
    if (t.years == 0 && t.month == 0 && t.dayOfMonth == 0 && t.hours == 0 && t.minutes == 0 &&
        t.seconds == 0 && t.milliseconds == 0) {
        return "never";
    }
    return format("%04d-%02d-%02d %02d:%02d:%02d.%03d", 1900 + t.years, t.month + 1, t.dayOfMonth,
                  t.hours, t.minutes, t.seconds, t.milliseconds);
}

std::string formatIsoUnixtime(const unixtime& t) {
    if (formatUnixtime(t) == "never")
        return "";
    // The writer stored its local time without an offset; on this machine
    // (the same host as the broker) mktime finds the offset of that moment.
    std::tm local{};
    local.tm_sec = t.seconds;
    local.tm_min = t.minutes;
    local.tm_hour = t.hours;
    local.tm_mday = t.dayOfMonth;
    local.tm_mon = t.month;
    local.tm_year = t.years;
    local.tm_isdst = t.daylightSaving > 0 ? 1 : (t.daylightSaving == 0 ? 0 : -1);
    const std::time_t seconds = std::mktime(&local);
    if (seconds == static_cast<std::time_t>(-1))
        return "";
    return isoLocal(local, t.milliseconds >= 0 && t.milliseconds < 1000 ? t.milliseconds : 0);
}

std::string utf8FromUtf16(const unsigned short* units, size_t length) {
    std::string text;
    text.reserve(length);
    const auto append = [&text](uint32_t c) {
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else if (c < 0x800) {
            text += static_cast<char>(0xC0 | (c >> 6));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            text += static_cast<char>(0xE0 | (c >> 12));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (c >> 18));
            text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    };
    constexpr uint32_t kReplacement = 0xFFFD;
    for (size_t i = 0; i < length; ++i) {
        const uint32_t unit = units[i];
        if (unit < 0xD800 || unit > 0xDFFF) {
            append(unit);
        } else if (unit <= 0xDBFF && i + 1 < length && units[i + 1] >= 0xDC00 &&
                   units[i + 1] <= 0xDFFF) {
            append(0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            append(kReplacement);
        }
    }
    return text;
}

size_t utf8SequenceLength(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80)
        return 1;
    const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    }
    const unsigned char second = byte(i + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

std::string escapeForTerminal(const std::string& utf8) {
    std::string text;
    text.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
        if (byte < 0x20 || byte == 0x7F) {
            text += format("\\x%02X", byte);
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            text += format("\\u%04X", next);  // a C1 control, encoded in two bytes
            ++i;
        } else if (byte == '\\' || byte == '"') {
            text += '\\';
            text += static_cast<char>(byte);
        } else if (byte < 0x80) {
            text += static_cast<char>(byte);
        } else if (const size_t length = utf8SequenceLength(utf8, i); length > 0) {
            text.append(utf8, i, length);
            i += length - 1;
        } else {
            text += format("\\x%02X", byte);  // not UTF-8: a terminal may take it as a control
        }
    }
    return text;
}

size_t displayWidth(const std::string& utf8) {
    size_t width = 0;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if ((byte & 0xC0) == 0x80)
            continue;
        uint32_t c = byte;
        const size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        if (length > 1) {
            c = byte & (0x7F >> length);
            for (size_t k = 1; k < length && i + k < utf8.size(); ++k)
                c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                          (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                          (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                          (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1FAFF) ||
                          (c >= 0x20000 && c <= 0x3FFFD);
        width += wide ? 2 : 1;
    }
    return width;
}

std::string toHex(const unsigned char* bytes, size_t length) {
    static const char kDigits[] = "0123456789ABCDEF";
    // Sized once and written in place: every node of a scrape has its ID
    // turned into 96 digits.
    std::string text(2 * length, '0');
    for (size_t i = 0; i < length; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0xF];
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

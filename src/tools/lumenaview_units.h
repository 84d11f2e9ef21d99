// Readable units and time stamps for the viewer's outputs.
#pragma once

#include <cstdint>
#include <string>

#include "zov/core/zovcrcrd.h"

namespace lumenaview {

// A duration in milliseconds: "850 ms", "1.25 ms", "12.3 s", "2 min 05 s",
// "1 h 02 min", "3 d 04 h".
std::string formatDuration(long double milliseconds);
// A byte count: "512 B", "1.5 KiB", "3.2 MiB", "1.0 GiB".
std::string formatBytes(long double bytes);
// A whole number of messages without exponent: "2147483647".
std::string formatCount(long double count);
// A rate in messages per second: "0.25/s", "12.5/s", "1200/s".
std::string formatRate(double perSecond);

// Seconds since 1901 as stored in records: Unix seconds, or -1 for 0 (none)
// and for values before 1970.
int64_t unixSeconds(uint32_t secondsSince1901);
// Local date and time "2024-05-01 12:34:56", or "never" for 0.
std::string formatLocalTime(uint32_t secondsSince1901);
std::string formatLocalUnix(int64_t unixSeconds);
// Local time in ISO 8601 with its offset, "2024-05-01T12:34:56+02:00", or ""
// for 0 (none).
std::string formatIsoTime(uint32_t secondsSince1901);
std::string formatIsoUnix(int64_t unixSeconds);
// A stored local broken-down time in ISO 8601 with milliseconds and the
// offset this machine's zone gives it, or "" when all fields are zero.
std::string formatIsoUnixtime(const unixtime& t);
// A stored local broken-down time "2024-05-01 12:34:56.789", or "never" when
// all fields are zero.
std::string formatUnixtime(const unixtime& t);

// Length of the well-formed UTF-8 sequence at `text[i]` (1 for ASCII), 0 when
// it is not one: a stray continuation byte, an overlong form, a surrogate, a
// value beyond U+10FFFF or a sequence cut short.
size_t utf8SequenceLength(const std::string& text, size_t i);

// A record's 16-bit text as UTF-8: surrogate pairs are joined, a lone
// surrogate becomes U+FFFD, so the result is always valid UTF-8.
std::string utf8FromUtf16(const unsigned short* units, size_t length);
// Text safe to write to a terminal: control characters (C0, DEL, C1) become
// visible escapes "\x1B" or "\u009B", and backslashes and double quotes are
// escaped so that a quoted label cannot be mistaken for its surroundings.
std::string escapeForTerminal(const std::string& utf8);

// Terminal columns that UTF-8 text takes: two for East Asian wide characters
// and emoji, one for others.
size_t displayWidth(const std::string& utf8);

// Bytes as upper-case hexadecimal digits.
std::string toHex(const unsigned char* bytes, size_t length);
// Bytes as text: stops at the first zero byte, drops trailing blanks, and
// shows bytes outside printable ASCII as '.'.
std::string toPrintable(const unsigned char* bytes, size_t length);

}  // namespace lumenaview

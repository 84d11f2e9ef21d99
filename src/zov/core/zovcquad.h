// Whole-number arithmetic on the binary128 sums of a statistics record
// without the compiler's software floating point.
//
// The statistics sums and the message count are IEEE 754 binary128 numbers
// that only ever hold whole numbers, and each message adds a 32-bit whole
// number to them. A sum below 2^64 (2^31 messages of at most 2^31 bytes or
// milliseconds stay below 2^62) is exact in binary128, and so is the sum of
// it and the addend, which IEEE addition must then return. Adding on the
// integer the bits encode gives the same 16 bytes at a small part of the cost
// of the library's __floatsitf and __addtf3. Any other case (a negative
// addend or value, a fraction, 2^64 or more, infinity, not a number, -0)
// takes the ordinary binary128 path, so the result is always binary128's.
//
// binary128 bits, as two 64-bit halves (little-endian host):
//   high: 1 sign | 15 exponent, bias 16383 | top 48 fraction bits
//   low:  the other 64 fraction bits
// A whole number n in [2^e, 2^(e+1)), e <= 63, is the exponent e + 16383 and
// the 63 bits of n after its leading one, left-aligned in the fraction.
#pragma once

#include <cstdint>
#include <cstring>

namespace zov_quad {

inline constexpr int kBias = 16383;
inline constexpr int kHighFractionBits = 48;
inline constexpr uint64_t kHighFractionMask = (uint64_t{1} << kHighFractionBits) - 1;
// Low fraction bits below the 63 that a 64-bit whole number can use.
inline constexpr int kUnusedLowBits = 64 - (63 - kHighFractionBits);
inline constexpr uint64_t kUnusedLowMask = (uint64_t{1} << kUnusedLowBits) - 1;

// The whole number a binary128 holds, when it holds one in [0, 2^64).
inline bool wholeOf(__float128 value, uint64_t& whole) {
    uint64_t half[2];  // [0] low, [1] high
    std::memcpy(half, &value, sizeof half);
    if (half[1] == 0 && half[0] == 0) {
        whole = 0;
        return true;
    }
    // The sign bit, when set, puts the exponent out of range.
    const int exponent = static_cast<int>(half[1] >> kHighFractionBits) - kBias;
    if (exponent < 0 || exponent > 63 || (half[0] & kUnusedLowMask) != 0)
        return false;
    const uint64_t significand = (uint64_t{1} << 63) |
                                 ((half[1] & kHighFractionMask) << (63 - kHighFractionBits)) |
                                 (half[0] >> kUnusedLowBits);
    const int fractionBits = 63 - exponent;  // bits after the binary point
    whole = significand >> fractionBits;
    return (whole << fractionBits) == significand;  // else not a whole number
}

// value + 0 == value, bytes included: no sign bit (-0 + 0 is +0) and not
// the exponent of infinity and not-a-number (kept out whole for simplicity).
inline bool keepsZeroAddend(__float128 value) {
    uint64_t half[2];
    std::memcpy(half, &value, sizeof half);
    return (half[1] >> 48) < 0x7FFF;
}

// The binary128 of a 64-bit whole number.
inline __float128 fromWhole(uint64_t whole) {
    uint64_t half[2] = {0, 0};
    if (whole != 0) {
        const int exponent = 63 - __builtin_clzll(whole);
        const uint64_t significand = whole << (63 - exponent);  // leading one at bit 63
        half[1] = (static_cast<uint64_t>(exponent + kBias) << kHighFractionBits) |
                  ((significand << 1) >> (64 - kHighFractionBits));
        half[0] = significand << kUnusedLowBits;
    }
    __float128 value;
    std::memcpy(&value, half, sizeof value);
    return value;
}

}  // namespace zov_quad

// sum += addend, with the bytes binary128 addition gives.
inline void ZOV_AddWhole(__float128& sum, int32_t addend) {
    // Adding 0 (a message under a millisecond) leaves every value but -0 and
    // not-a-number as it is: those two have the sign bit or the all-ones
    // exponent.
    if (addend == 0 && zov_quad::keepsZeroAddend(sum))
        return;
    uint64_t whole = 0;
    uint64_t result = 0;
    if (addend >= 0 && zov_quad::wholeOf(sum, whole) &&
        !__builtin_add_overflow(whole, static_cast<uint64_t>(addend), &result)) {
        sum = zov_quad::fromWhole(result);
    } else {
        sum += addend;
    }
}

// value >= limit, with the answer binary128 comparison gives.
inline bool ZOV_WholeAtLeast(__float128 value, int32_t limit) {
    uint64_t whole = 0;
    if (limit >= 0 && zov_quad::wholeOf(value, whole))
        return whole >= static_cast<uint64_t>(limit);
    return value >= static_cast<__float128>(limit);
}

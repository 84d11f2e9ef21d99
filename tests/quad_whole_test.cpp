// The whole-number additions and comparison on binary128 sums (zovcquad.h)
// must give exactly the bytes and answers of binary128 arithmetic, for the
// values statistics records hold and for every value they should never hold.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "zov/zovcquad.h"

namespace {

using Bits = unsigned __int128;

bool sameBytes(__float128 a, __float128 b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Whole numbers of every magnitude up to 2^113 and just past it, and values
// that are not whole or not finite.
std::vector<__float128> sums() {
    using Limits = std::numeric_limits<__float128>;
    const __float128 least = Limits::min(), tiny = Limits::denorm_min(), most = Limits::max(),
                     inf = Limits::infinity(), nan = Limits::quiet_NaN();
    std::vector<__float128> values = {
        0,    1,     2,    2147483646, 2147483647,     2147483648.0Q, 4294967295.0Q,
        -1,   -0.0Q, 0.5Q, 1.5Q,       -2147483648.0Q, least,         tiny,
        most, inf,   -inf, nan};
    __float128 power = 1;
    for (int exponent = 0; exponent <= 116; ++exponent, power *= 2) {
        // Around every power of two, 2^63 and 2^64 (where the integer path
        // ends) and 2^113 (where binary128 stops being exact) included.
        for (__float128 delta : {-3.0Q, -1.0Q, 0.0Q, 1.0Q, 0.25Q})
            values.push_back(power + delta);
    }
    std::mt19937_64 random(113);
    for (int i = 0; i < 20000; ++i) {
        const Bits whole = ((static_cast<Bits>(random()) << 64) | random()) >> (random() % 128);
        values.push_back(static_cast<__float128>(whole));
    }
    return values;
}

const int32_t kAddends[] = {0, 1, 2, 7, 1023, 123456789, 2147483647, -1, -2147483647, INT32_MIN};

// Addition gives the bytes of binary128 addition, and the comparison with the
// maximum (each addend as a limit) the answers of binary128 comparison.
TEST(WholeBinary128, AdditionAndComparisonAgreeWithBinary128) {
    std::mt19937 random(7);
    int fast = 0;
    for (const __float128 sum : sums()) {
        std::vector<int32_t> addends(std::begin(kAddends), std::end(kAddends));
        addends.push_back(static_cast<int32_t>(random()));
        for (const int32_t addend : addends) {
            __float128 ours = sum;
            ZOV_AddWhole(ours, addend);
            __float128 expected = sum;
            expected += addend;
            ASSERT_TRUE(sameBytes(ours, expected) || (ours != ours && expected != expected))
                << static_cast<long double>(sum) << " + " << addend;
            ASSERT_EQ(ZOV_WholeAtLeast(sum, addend), sum >= static_cast<__float128>(addend))
                << static_cast<long double>(sum) << " >= " << addend;
            uint64_t whole = 0;
            if (zov_quad::wholeOf(sum, whole))
                ++fast;
        }
    }
    EXPECT_GT(fast, 50000);  // many cases went through the integer path
}

TEST(WholeBinary128, WholeNumbersRoundTripThroughTheirBits) {
    std::mt19937_64 random(128);
    for (int i = 0; i < 100000; ++i) {
        const uint64_t whole = random() >> (random() % 64);
        const __float128 value = zov_quad::fromWhole(whole);
        ASSERT_TRUE(sameBytes(value, static_cast<__float128>(whole))) << whole;
        uint64_t back = 0;
        ASSERT_TRUE(zov_quad::wholeOf(value, back));
        ASSERT_EQ(back, whole);
    }
    // 2^64 and above are no 64-bit whole numbers.
    uint64_t ignored = 0;
    EXPECT_FALSE(zov_quad::wholeOf(18446744073709551616.0Q, ignored));
}

}  // namespace

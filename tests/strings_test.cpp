// The 16-bit string: widening and narrowing, comparison, copying into the
// broker's buffers, and the image embedded in records.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "zov/zovcstrn.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes imageOf(const ZOV_String& s) {
    Bytes image(static_cast<size_t>(s.binarySize()) + 1, 0xEE);
    EXPECT_EQ(s.put(image.data()), image.data() + s.binarySize());
    EXPECT_EQ(image.back(), 0xEE) << "put wrote past its image";
    image.pop_back();
    return image;
}

TEST(Strings, HighBytesWidenSignExtendedAndNarrowBack) {
    unsigned short wide[4];
    strtozov(wide, "\x7F\x80\xE9", 3);
    EXPECT_EQ(std::vector<unsigned short>(wide, wide + 4),
              (std::vector<unsigned short>{0x007F, 0xFF80, 0xFFE9, 0}));
    const unsigned short units[] = {0xFFE9, 0x00E9, 0x1241, 0};
    char narrow[4];
    zovtostr(narrow, units, 3);
    EXPECT_STREQ(narrow,
                 "\xE9\xE9"
                 "A");
    char all[256];
    for (int i = 1; i < 256; ++i)
        all[i - 1] = static_cast<char>(i);
    all[255] = 0;
    ZOV_String s(all);
    EXPECT_EQ(std::memcmp(s.getcValue(), all, 256), 0);  // every byte survives the round trip
}

TEST(Strings, LengthDecidesBeforeAnyCharacter) {
    const unsigned short b[] = {'b', 0}, aa[] = {'a', 'a', 0}, ab[] = {'a', 'b', 0}, empty[] = {0};
    EXPECT_LT(zovcmp(b, aa), 0);  // shorter, though 'b' > 'a'
    EXPECT_LT(zovcmp(aa, ab), 0);
    EXPECT_EQ(zovcmp(nullptr, empty), 0);
    EXPECT_TRUE(ZOV_String("Label") != "label");
}

TEST(Strings, CopyToWritesTheTerminatorOnlyWhenThereIsRoom) {
    const ZOV_String s("abc");
    unsigned short buffer[5] = {9, 9, 9, 9, 9};
    s.copyTo(buffer, 3);
    EXPECT_EQ(buffer[2], 'c');
    EXPECT_EQ(buffer[3], 9);
    s.copyTo(buffer, 5);
    EXPECT_EQ(buffer[3], 0);
    EXPECT_EQ(buffer[4], 9);
}

TEST(Strings, ImageLayoutRoundTripAndBoundedGet) {
    EXPECT_EQ(imageOf(ZOV_String()), Bytes(6, 0));
    const Bytes abc = {3, 0, 0, 0, 0x61, 0, 0x62, 0, 0x63, 0, 0, 0};
    EXPECT_EQ(imageOf(ZOV_String("abc")), abc);

    Bytes image = imageOf(ZOV_String("\xE9t\xE9"));
    ZOV_String restored("something else");
    EXPECT_EQ(restored.get(image.data()), image.data() + image.size());
    EXPECT_TRUE(restored == "\xE9t\xE9");
    for (size_t cut = 0; cut < image.size(); ++cut) {  // a limit that cuts the image
        EXPECT_EQ(restored.get(image.data(), image.data() + cut), nullptr);
    }
    const uint32_t hostile = 0x7FFFFFFF;
    std::memcpy(image.data(), &hostile, 4);
    EXPECT_EQ(restored.get(image.data(), image.data() + image.size()), nullptr);
    EXPECT_TRUE(restored == "\xE9t\xE9");
    Bytes empty(6, 0);
    restored.get(empty.data());
    EXPECT_TRUE(restored.isEmpty());
}

}  // namespace

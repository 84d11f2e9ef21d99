// The 16-bit string: widening and narrowing, comparison, copying into the
// broker's buffers, and the image embedded in records.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "zov/zovcstrn.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes imageOf(const ZOV_String& s) {
    Bytes image(static_cast<size_t>(s.binarySize()) + 4, 0xEE);  // guard bytes after the image
    auto* end = static_cast<unsigned char*>(s.put(image.data()));
    EXPECT_EQ(end - image.data(), s.binarySize());
    EXPECT_EQ(image[static_cast<size_t>(s.binarySize())], 0xEE) << "put wrote past its image";
    image.resize(static_cast<size_t>(s.binarySize()));
    return image;
}

TEST(StringWidening, HighBytesAreSignExtendedAndNarrowBackUnchanged) {
    unsigned short wide[4];
    const char bytes[] = {'\x7F', '\x80', '\xE9', '\xFF'};
    strtozov(wide, bytes, 3);
    EXPECT_EQ(wide[0], 0x007F);
    EXPECT_EQ(wide[1], 0xFF80);
    EXPECT_EQ(wide[2], 0xFFE9);
    EXPECT_EQ(wide[3], 0);  // terminator written at n

    const unsigned short units[] = {0xFFE9, 0x00E9, 0x1241, 0};
    char narrow[4];
    zovtostr(narrow, units, 3);
    EXPECT_EQ(static_cast<unsigned char>(narrow[0]), 0xE9);
    EXPECT_EQ(static_cast<unsigned char>(narrow[1]), 0xE9);
    EXPECT_EQ(narrow[2], 'A');  // a unit above 0xFF loses its high byte
    EXPECT_EQ(narrow[3], 0);

    // Every byte value but 0 survives a round trip through a ZOV_String.
    char all[256];
    for (int i = 1; i < 256; ++i)
        all[i - 1] = static_cast<char>(i);
    all[255] = 0;
    ZOV_String s(all);
    ASSERT_EQ(s.getLength(), 255u);
    EXPECT_EQ(s.getValue()[0xE9 - 1], 0xFFE9);
    EXPECT_EQ(std::memcmp(s.getcValue(), all, 256), 0);
}

TEST(StringComparison, LengthDecidesBeforeAnyCharacter) {
    const unsigned short b[] = {'b', 0};
    const unsigned short aa[] = {'a', 'a', 0};
    const unsigned short ab[] = {'a', 'b', 0};
    const unsigned short abc[] = {'a', 'b', 'c', 0};
    const unsigned short empty[] = {0};
    EXPECT_LT(zovcmp(b, aa), 0);  // 'b' > 'a', yet the shorter string is smaller
    EXPECT_LT(zovcmp(ab, abc), 0);
    EXPECT_GT(zovcmp(abc, ab), 0);
    EXPECT_EQ(zovcmp(nullptr, empty), 0);
    EXPECT_EQ(zovcmp(ab, ab), 0);
    EXPECT_LT(zovcmp(aa, ab), 0);

    EXPECT_TRUE(ZOV_String("Label") == "Label");
    EXPECT_TRUE(ZOV_String("Label") != "label");
    EXPECT_TRUE(ZOV_String("ab") != ZOV_String("abc"));
    EXPECT_TRUE(ZOV_String() == ZOV_String(""));
}

TEST(StringCopyTo, TerminatorOnlyWhenThereIsRoom) {
    const ZOV_String s("abc");
    std::array<unsigned short, 6> buffer;

    buffer.fill(0xAAAA);
    s.copyTo(buffer.data(), 3);
    EXPECT_EQ(buffer[0], 'a');
    EXPECT_EQ(buffer[2], 'c');
    EXPECT_EQ(buffer[3], 0xAAAA);  // no terminator without room for it

    buffer.fill(0xAAAA);
    s.copyTo(buffer.data(), 6);
    EXPECT_EQ(buffer[3], 0);
    EXPECT_EQ(buffer[4], 0xAAAA);  // min(n, length + 1) units, no more

    buffer.fill(0xAAAA);
    s.copyTo(buffer.data(), 0);
    EXPECT_EQ(buffer[0], 0xAAAA);

    buffer.fill(0xAAAA);
    ZOV_String().copyTo(buffer.data(), 6);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], 0xAAAA);
}

TEST(StringImage, LayoutOfEmptyAndShortStrings) {
    EXPECT_EQ(imageOf(ZOV_String()), Bytes(6, 0));
    // Count, characters and terminator in the host's (little-endian) order.
    const Bytes abc = {0x03, 0x00, 0x00, 0x00, 0x61, 0x00, 0x62, 0x00, 0x63, 0x00, 0x00, 0x00};
    EXPECT_EQ(imageOf(ZOV_String("abc")), abc);
    const Bytes high = {0x01, 0x00, 0x00, 0x00, 0xE9, 0xFF, 0x00, 0x00};
    EXPECT_EQ(imageOf(ZOV_String("\xE9")), high);
}

TEST(StringImage, GetRestoresWhatPutWrote) {
    const ZOV_String original("Execution Group \xE9t\xE9");
    Bytes image = imageOf(original);
    ZOV_String restored("something else entirely");
    void* end = restored.get(image.data());
    EXPECT_EQ(static_cast<unsigned char*>(end) - image.data(), original.binarySize());
    EXPECT_TRUE(restored == original);

    // An image with n = 0 empties a string that held text.
    Bytes empty(6, 0);
    EXPECT_EQ(restored.get(empty.data()), empty.data() + 6);
    EXPECT_TRUE(restored.isEmpty());
}

TEST(StringImage, BoundedGetRefusesAnImageCutByTheLimit) {
    Bytes image = imageOf(ZOV_String("abc"));
    ZOV_String target("keep");
    for (size_t cut = 0; cut < image.size(); ++cut) {
        EXPECT_EQ(target.get(image.data(), image.data() + cut), nullptr) << "limit " << cut;
        EXPECT_TRUE(target == "keep");
    }
    EXPECT_EQ(target.get(image.data(), image.data() + image.size()), image.data() + image.size());
    EXPECT_TRUE(target == "abc");

    // A hostile count far beyond the limit is refused without reading on.
    Bytes hostile = image;
    const uint32_t huge = 0x7FFFFFFF;
    std::memcpy(hostile.data(), &huge, sizeof huge);
    EXPECT_EQ(target.get(hostile.data(), hostile.data() + hostile.size()), nullptr);
    EXPECT_TRUE(target == "abc");
}

TEST(StringImage, FailedOrNullPositionTransfersNothing) {
    ZOV_String s("abc");
    EXPECT_EQ(s.put(nullptr), nullptr);
    EXPECT_EQ(s.get(nullptr), nullptr);
}

}  // namespace

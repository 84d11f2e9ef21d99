// Test helpers for record images: an image builder that lays bytes out one by
// one from the documented offsets (little-endian, packed), independent of the
// record classes' own encoders, and a page whose end is followed by an
// inaccessible page, so that a decoder reading one byte too far faults.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zov/zovcrcrd.h"
#include "zov/zovcstrn.h"

namespace zovtest {

// A ZOV_String holding exactly these 16-bit units, and back.
ZOV_String wide(std::u16string_view units);
std::u16string unitsOf(const ZOV_String& text);

class ImageBuilder {
  public:
    ImageBuilder& u8(uint8_t value);
    ImageBuilder& i32(int32_t value);
    ImageBuilder& u32(uint32_t value);
    ImageBuilder& bytes(const void* data, size_t n);
    ImageBuilder& zeros(size_t n);
    // A whole number as IEEE 754 binary128 (sign, 15-bit exponent, 112-bit
    // fraction), encoded from the bits, not through the compiler's type.
    ImageBuilder& binary128(unsigned __int128 wholeNumber);
    // String image: 32-bit count, the 16-bit units, a 16-bit zero.
    ImageBuilder& string(std::u16string_view units);
    // Record header: "RCRD", deleted flag, record ID, parent record ID.
    ImageBuilder& header(const ZOV_Record& record);

    const std::vector<unsigned char>& data() const { return image; }
    unsigned char* raw() { return image.data(); }
    size_t size() const { return image.size(); }

  private:
    std::vector<unsigned char> image;
};

// One read-write page followed by a PROT_NONE page.
class GuardedPage {
  public:
    GuardedPage();
    ~GuardedPage();
    GuardedPage(const GuardedPage&) = delete;
    GuardedPage& operator=(const GuardedPage&) = delete;

    // Copies n bytes so that they end exactly at the guard; returns their start.
    unsigned char* placeAtEnd(const void* data, size_t n);
    unsigned char* end() const { return page + pageSize; }
    size_t size() const { return pageSize; }

  private:
    unsigned char* page = nullptr;
    size_t pageSize = 0;
};

// True when the record ID is zero apart from its type (no creation time, no
// random number): the ID of a record built without generating one.
bool hasBlankRecordId(const ZOV_Record& record);

// The bytes that record.put writes into a buffer of record.size() bytes.
std::vector<unsigned char> imageOf(ZOV_Record& record);

// Offers every proper prefix of `image` to a fresh record from `make`, placed
// so that it ends at the guard, with the guard as the limit. Returns the
// lengths of the prefixes that were not refused with null (none expected).
std::vector<size_t> acceptedPrefixes(const std::vector<unsigned char>& image,
                                     const std::function<std::unique_ptr<ZOV_Record>()>& make);

// put writes exactly `expected` and nothing around it; get of that image into
// a fresh record from `make` (bounded and unbounded) returns the same end, and
// the fresh record writes the same bytes again, so every field was restored.
template <typename Record, typename Make>
void expectImageRoundTrip(Record& record, const ImageBuilder& expected, Make make) {
    const size_t n = expected.size();
    ASSERT_EQ(record.size(), static_cast<int>(n));
    std::vector<unsigned char> buffer(n + 8, 0xAA);
    EXPECT_EQ(record.put(buffer.data()), buffer.data() + n);
    EXPECT_EQ(std::vector<unsigned char>(buffer.begin(), buffer.begin() + n), expected.data());
    EXPECT_EQ(std::vector<unsigned char>(buffer.begin() + n, buffer.end()),
              std::vector<unsigned char>(8, 0xAA));

    std::unique_ptr<ZOV_Record> fresh = make();
    EXPECT_EQ(fresh->getBounded(buffer.data(), buffer.data() + n), buffer.data() + n);
    EXPECT_EQ(imageOf(*fresh), expected.data());
    std::unique_ptr<ZOV_Record> unbounded = make();
    EXPECT_EQ(unbounded->get(buffer.data()), buffer.data() + n);
    EXPECT_EQ(imageOf(*unbounded), expected.data());
}

}  // namespace zovtest

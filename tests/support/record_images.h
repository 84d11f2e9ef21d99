// Record images laid out byte by byte from the documented offsets, independent
// of the records' encoders, and decoding before an inaccessible page, so that
// reading one byte too far faults.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "zov/core/zovcrcrd.h"
#include "zov/core/zovcstrn.h"

namespace zovtest {

class ImageBuilder {
  public:
    // Starts with the record header: "RCRD", deleted flag, record ID, parent record ID.
    explicit ImageBuilder(const ZOV_Record& record);
    ImageBuilder& u8(uint8_t value);
    ImageBuilder& u32(uint32_t value);
    ImageBuilder& i32(int32_t value) { return u32(static_cast<uint32_t>(value)); }
    ImageBuilder& bytes(const void* data, size_t n);
    ImageBuilder& bytes(const std::vector<unsigned char>& b) { return bytes(b.data(), b.size()); }
    // A whole number below 2^113 as binary128 (the compiler's conversion).
    ImageBuilder& binary128(unsigned __int128 wholeNumber);
    // String image: 32-bit count, the 16-bit units, a 16-bit zero.
    ImageBuilder& string(std::u16string_view units);
    template <class... Texts>
    ImageBuilder& strings(Texts... texts) {
        return (string(texts), ...);
    }

    const std::vector<unsigned char>& data() const { return image; }
    unsigned char* raw() { return image.data(); }
    size_t size() const { return image.size(); }

  private:
    std::vector<unsigned char> image;
};

ZOV_String wide(std::u16string_view units);
// True when the record ID is zero apart from its type.
bool hasBlankRecordId(const ZOV_Record& record);
std::vector<unsigned char> imageOf(ZOV_Record& record);
// A record as a reader makes it: `R(args...)`, without record ID or content.
using RecordMaker = std::unique_ptr<ZOV_Record> (*)();
template <class R, auto... args>
std::unique_ptr<ZOV_Record> blank() {
    return std::make_unique<R>(args...);
}
// getBounded into a blank record of the first `length` bytes of `image` ending
// at a PROT_NONE page (the limit); the end relative to the start, -1 for null.
long decodeAtGuard(const std::vector<unsigned char>& image, size_t length, RecordMaker make);

// put writes exactly `expected`; bounded and unbounded get into a blank record
// end at its end and put the same bytes again; every proper prefix is refused.
void expectImage(ZOV_Record& record, const ImageBuilder& expected, RecordMaker make);

}  // namespace zovtest

#include "support/record_images.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace zovtest {

ImageBuilder& ImageBuilder::u8(uint8_t value) {
    image.push_back(value);
    return *this;
}

ImageBuilder& ImageBuilder::u32(uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        u8(static_cast<uint8_t>(value >> shift));
    return *this;
}

ImageBuilder& ImageBuilder::bytes(const void* data, size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    image.insert(image.end(), p, p + n);
    return *this;
}

ImageBuilder& ImageBuilder::binary128(unsigned __int128 wholeNumber) {
    const __float128 value = static_cast<__float128>(wholeNumber);
    return bytes(&value, sizeof value);
}

ImageBuilder& ImageBuilder::string(std::u16string_view units) {
    u32(static_cast<uint32_t>(units.size()));
    for (char16_t unit : units)
        u8(static_cast<uint8_t>(unit & 0xFF)).u8(unit >> 8);
    return u8(0).u8(0);
}

ImageBuilder::ImageBuilder(const ZOV_Record& record) {
    bytes("RCRD", 4).i32(record.isDeleted());
    bytes(record.getRecordId()->bytes, ZOV_Record_ID::kSize);
    bytes(record.getParentId()->bytes, ZOV_Record_ID::kSize);
}

ZOV_String wide(std::u16string_view units) {
    std::vector<unsigned short> buffer(units.begin(), units.end());
    buffer.push_back(0);
    return ZOV_String(buffer.data());
}

bool hasBlankRecordId(const ZOV_Record& record) {
    const unsigned char* id = record.getRecordId()->bytes;
    return std::all_of(id + ZOV_Record_ID::kCreatedOffset, id + ZOV_Record_ID::kSize,
                       [](unsigned char byte) { return byte == 0; });
}

std::vector<unsigned char> imageOf(ZOV_Record& record) {
    std::vector<unsigned char> image(static_cast<size_t>(record.size()));
    record.put(image.data());
    return image;
}

long decodeAtGuard(const std::vector<unsigned char>& image, size_t length, RecordMaker make) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* mapping =
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED || length > page)
        std::abort();
    unsigned char* end = static_cast<unsigned char*>(mapping) + page;
    if (mprotect(end, page, PROT_NONE) != 0)
        std::abort();
    unsigned char* start = end - length;
    std::memcpy(start, image.data(), length);
    void* next = make()->getBounded(start, end);
    munmap(mapping, 2 * page);
    return next == nullptr ? -1 : static_cast<unsigned char*>(next) - start;
}

void expectImage(ZOV_Record& record, const ImageBuilder& expected, RecordMaker make) {
    const size_t n = expected.size();
    ASSERT_EQ(record.size(), static_cast<int>(n));
    std::vector<unsigned char> buffer(n + 8, 0xAA);
    EXPECT_EQ(record.put(buffer.data()), buffer.data() + n);
    EXPECT_EQ(std::vector<unsigned char>(buffer.begin(), buffer.begin() + n), expected.data());
    EXPECT_EQ(buffer[n], 0xAA);

    std::unique_ptr<ZOV_Record> bounded = make(), unbounded = make();
    EXPECT_EQ(bounded->getBounded(buffer.data(), buffer.data() + n), buffer.data() + n);
    EXPECT_EQ(unbounded->get(buffer.data()), buffer.data() + n);
    EXPECT_EQ(imageOf(*bounded), expected.data());
    EXPECT_EQ(imageOf(*unbounded), expected.data());

    EXPECT_EQ(decodeAtGuard(expected.data(), n, make), static_cast<long>(n));
    for (size_t length = 0; length < n; ++length)
        ASSERT_EQ(decodeAtGuard(expected.data(), length, make), -1) << "prefix " << length;
}

}  // namespace zovtest

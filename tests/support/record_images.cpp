#include "support/record_images.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace zovtest {

ZOV_String wide(std::u16string_view units) {
    std::vector<unsigned short> buffer(units.begin(), units.end());
    buffer.push_back(0);
    return ZOV_String(buffer.data());
}

std::u16string unitsOf(const ZOV_String& text) {
    const unsigned short* value = text.getValue();
    if (value == nullptr)
        return {};
    return std::u16string(value, value + text.getLength());
}

bool hasBlankRecordId(const ZOV_Record& record) {
    const unsigned char* id = record.getRecordId()->bytes;
    for (int i = ZOV_Record_ID::kCreatedOffset; i < ZOV_Record_ID::kSize; ++i) {
        if (id[i] != 0)
            return false;
    }
    return true;
}

std::vector<unsigned char> imageOf(ZOV_Record& record) {
    std::vector<unsigned char> image(static_cast<size_t>(record.size()));
    record.put(image.data());
    return image;
}

std::vector<size_t> acceptedPrefixes(const std::vector<unsigned char>& image,
                                     const std::function<std::unique_ptr<ZOV_Record>()>& make) {
    GuardedPage page;
    std::vector<size_t> accepted;
    for (size_t length = 0; length < image.size(); ++length) {
        unsigned char* start = page.placeAtEnd(image.data(), length);
        std::unique_ptr<ZOV_Record> record = make();
        if (record->getBounded(start, page.end()) != nullptr)
            accepted.push_back(length);
    }
    return accepted;
}

ImageBuilder& ImageBuilder::u8(uint8_t value) {
    image.push_back(value);
    return *this;
}

ImageBuilder& ImageBuilder::u32(uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        u8(static_cast<uint8_t>(value >> shift));
    return *this;
}

ImageBuilder& ImageBuilder::i32(int32_t value) {
    return u32(static_cast<uint32_t>(value));
}

ImageBuilder& ImageBuilder::bytes(const void* data, size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    image.insert(image.end(), p, p + n);
    return *this;
}

ImageBuilder& ImageBuilder::zeros(size_t n) {
    image.insert(image.end(), n, 0);
    return *this;
}

ImageBuilder& ImageBuilder::binary128(unsigned __int128 wholeNumber) {
    unsigned __int128 bits = 0;
    if (wholeNumber != 0) {
        int top = 127;
        while (((wholeNumber >> top) & 1) == 0)
            --top;
        // Exact only below 2^113, which is all the tests need.
        const unsigned __int128 fraction =
            (wholeNumber << (112 - top)) & ((static_cast<unsigned __int128>(1) << 112) - 1);
        bits = (static_cast<unsigned __int128>(16383 + top) << 112) | fraction;
    }
    for (int shift = 0; shift < 128; shift += 8)
        u8(static_cast<uint8_t>(bits >> shift));
    return *this;
}

ImageBuilder& ImageBuilder::string(std::u16string_view units) {
    u32(static_cast<uint32_t>(units.size()));
    for (char16_t unit : units) {
        u8(static_cast<uint8_t>(unit & 0xFF));
        u8(static_cast<uint8_t>(unit >> 8));
    }
    u8(0).u8(0);
    return *this;
}

ImageBuilder& ImageBuilder::header(const ZOV_Record& record) {
    bytes("RCRD", 4);
    i32(record.isDeleted());
    bytes(record.getRecordId()->bytes, ZOV_Record_ID::kSize);
    bytes(record.getParentId()->bytes, ZOV_Record_ID::kSize);
    return *this;
}

GuardedPage::GuardedPage() : pageSize(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    void* mapping =
        mmap(nullptr, 2 * pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        std::abort();
    page = static_cast<unsigned char*>(mapping);
    if (mprotect(page + pageSize, pageSize, PROT_NONE) != 0)
        std::abort();
}

GuardedPage::~GuardedPage() {
    munmap(page, 2 * pageSize);
}

unsigned char* GuardedPage::placeAtEnd(const void* data, size_t n) {
    if (n > pageSize)
        std::abort();
    unsigned char* start = end() - n;
    if (n > 0)
        std::memcpy(start, data, n);
    return start;
}

}  // namespace zovtest

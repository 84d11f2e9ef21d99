#include "zov/core/zovcstrn.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

std::atomic<unsigned long> allocationFailures{0};

void noteAllocationFailure() {
    allocationFailures.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

unsigned long ZOV_StringAllocationFailures() {
    return allocationFailures.load(std::memory_order_relaxed);
}

unsigned int zovlen(const unsigned short* s) {
    unsigned int n = 0;
    if (s != nullptr) {
        while (s[n] != 0)
            ++n;
    }
    return n;
}

unsigned short* zovncpy(unsigned short* dst, const unsigned short* src, unsigned int n) {
    std::memcpy(dst, src, static_cast<size_t>(n) * sizeof(unsigned short));
    return dst;
}

unsigned short* zovcpy(unsigned short* dst, const unsigned short* src) {
    return zovncpy(dst, src, zovlen(src) + 1);
}

unsigned short* zovcat(unsigned short* dst, const unsigned short* src) {
    zovcpy(dst + zovlen(dst), src);
    return dst;
}

int zovcmp(const unsigned short* a, const unsigned short* b) {
    const unsigned int la = zovlen(a);
    const unsigned int lb = zovlen(b);
    if (la != lb)
        return static_cast<int>(la) - static_cast<int>(lb);
    for (unsigned int i = 0; i < la; ++i) {
        if (a[i] != b[i])
            return static_cast<int>(a[i]) - static_cast<int>(b[i]);
    }
    return 0;
}

// Bytes are widened as signed values: 0x80-0xFF become 0xFF80-0xFFFF.
int strtozov(unsigned short* dst, const char* src, unsigned int n) {
    for (unsigned int i = 0; i < n; ++i) {
        dst[i] =
            static_cast<unsigned short>(static_cast<int16_t>(static_cast<signed char>(src[i])));
    }
    dst[n] = 0;
    return 0;
}

// Units are cut to their low 8 bits, so widened text survives the round trip.
int zovtostr(char* dst, const unsigned short* src, unsigned int n) {
    for (unsigned int i = 0; i < n; ++i)
        dst[i] = static_cast<char>(src[i] & 0xFF);
    dst[n] = 0;
    return 0;
}

ZOV_String::ZOV_String(const unsigned short* text) {
    assign(text, zovlen(text));
}

ZOV_String::ZOV_String(const char* text) {
    assignNarrow(text);
}

ZOV_String::ZOV_String(const ZOV_String& other) {
    if (other.status == 0) {
        assign(other.value, other.length);
    } else {
        assign(nullptr, 0);
    }
}

void ZOV_String::cleanup() {
    delete[] value;
    delete[] cvalue;
    value = nullptr;
    cvalue = nullptr;
    length = 0;
}

void ZOV_String::assign(const unsigned short* text, unsigned int n) {
    if (status != 0)
        return;  // a failed string stays without characters
    unsigned short* fresh = new (std::nothrow) unsigned short[n + 1]();
    if (fresh != nullptr && n > 0)
        zovncpy(fresh, text, n);  // text may alias value
    adopt(fresh, n);
}

void ZOV_String::adopt(unsigned short* fresh, unsigned int n) {
    cleanup();
    if (fresh == nullptr) {
        noteAllocationFailure();
        status = 301;
        return;
    }
    value = fresh;
    length = n;
}

void ZOV_String::assignNarrow(const char* text) {
    const unsigned int n = text == nullptr ? 0 : static_cast<unsigned int>(std::strlen(text));
    if (status != 0)
        return;
    unsigned short* fresh = new (std::nothrow) unsigned short[n + 1]();
    if (fresh != nullptr && n > 0)
        strtozov(fresh, text, n);  // text may be our 8-bit form
    adopt(fresh, n);
}

ZOV_String& ZOV_String::operator=(const unsigned short* text) {
    if (text != value)
        assign(text, zovlen(text));
    return *this;
}

ZOV_String& ZOV_String::operator=(const ZOV_String& other) {
    if (&other != this)
        assign(other.status == 0 ? other.value : nullptr, other.status == 0 ? other.length : 0);
    return *this;
}

ZOV_String& ZOV_String::operator=(const char* text) {
    assignNarrow(text);
    return *this;
}

void ZOV_String::concatenate(const unsigned short* text, unsigned int n) {
    if (status != 0 || n == 0)
        return;
    unsigned short* fresh = new (std::nothrow) unsigned short[length + n + 1]();
    if (fresh == nullptr) {
        noteAllocationFailure();
        // Keeping the left part would pass a cut text (a path, a name) off as
        // whole: the string fails instead, so that its owner can tell.
        cleanup();
        status = 301;
        return;
    }
    zovncpy(fresh, value, length);
    zovncpy(fresh + length, text, n);
    const unsigned int total = length + n;
    cleanup();
    value = fresh;
    length = total;
}

ZOV_String ZOV_String::operator+(const unsigned short* text) const {
    ZOV_String result(*this);
    if (status != 0) {
        result.cleanup();
        result.status = 301;
    }
    result.concatenate(text, zovlen(text));
    return result;
}

// A failed operand (one whose characters could not be held) fails the join:
// leaving it out would pass a cut text off as whole.
ZOV_String ZOV_String::operator+(const ZOV_String& other) const {
    ZOV_String result(*this);
    if (status != 0 || other.status != 0) {
        result.cleanup();
        result.status = 301;
    } else {
        result.concatenate(other.value, other.length);
    }
    return result;
}

ZOV_String ZOV_String::operator+(const char* text) const {
    return *this + ZOV_String(text);
}

ZOV_String& ZOV_String::operator+=(const unsigned short* text) {
    concatenate(text, zovlen(text));
    return *this;
}

ZOV_String& ZOV_String::operator+=(const ZOV_String& other) {
    if (other.status != 0) {
        cleanup();
        status = 301;
    } else if (&other != this) {
        concatenate(other.value, other.length);
    } else if (&other == this) {
        const ZOV_String copy(other);
        concatenate(copy.value, copy.length);
    }
    return *this;
}

ZOV_String& ZOV_String::operator+=(const char* text) {
    return *this += ZOV_String(text);
}

bool ZOV_String::operator==(const unsigned short* text) const {
    const unsigned int n = zovlen(text);
    if (n != length)
        return false;
    return n == 0 || std::memcmp(value, text, n * sizeof(unsigned short)) == 0;
}

bool ZOV_String::operator==(const ZOV_String& other) const {
    if (other.length != length)
        return false;
    return length == 0 || std::memcmp(value, other.value, length * sizeof(unsigned short)) == 0;
}

// Compared in place, each byte widened as strtozov widens it: a comparison
// allocates nothing, so it cannot fail (a node type compared through a
// temporary string that could not be held went silently to "other").
bool ZOV_String::operator==(const char* text) const {
    const size_t n = text == nullptr ? 0 : std::strlen(text);
    if (n != length)
        return false;
    for (size_t i = 0; i < n; ++i) {
        const auto widened = static_cast<int16_t>(static_cast<signed char>(text[i]));
        if (value[i] != static_cast<unsigned short>(widened))
            return false;
    }
    return true;
}

char* ZOV_String::getcValue() {
    if (status != 0 || value == nullptr)
        return nullptr;
    if (cvalue == nullptr) {
        cvalue = new (std::nothrow) char[length + 1];
        if (cvalue == nullptr) {
            noteAllocationFailure();
            return nullptr;
        }
    }
    zovtostr(cvalue, value, length);
    return cvalue;
}

unsigned short* ZOV_String::copyTo(unsigned short* buf, unsigned int n) const {
    const unsigned int units = n < length + 1 ? n : length + 1;
    if (buf != nullptr && units > 0) {
        if (value != nullptr) {
            zovncpy(buf, value, units);
        } else {
            buf[0] = 0;
        }
    }
    return buf;
}

void* ZOV_String::put(void* position) const {
    if (status != 0 || position == nullptr)
        return position;
    auto* p = static_cast<unsigned char*>(position);
    const uint32_t n = length;
    std::memcpy(p, &n, sizeof n);
    if (n > 0)
        std::memcpy(p + 4, value, 2 * static_cast<size_t>(n));
    const uint16_t terminator = 0;
    std::memcpy(p + 4 + 2 * static_cast<size_t>(n), &terminator, sizeof terminator);
    return p + binarySize();
}

void* ZOV_String::get(void* position) {
    if (status != 0 || position == nullptr)
        return position;
    auto* p = static_cast<unsigned char*>(position);
    uint32_t n = 0;
    std::memcpy(&n, p, sizeof n);
    unsigned short* fresh = new (std::nothrow) unsigned short[static_cast<size_t>(n) + 1]();
    if (fresh == nullptr) {
        noteAllocationFailure();
        cleanup();
        status = 301;
        return position;
    }
    if (n > 0)
        std::memcpy(fresh, p + 4, 2 * static_cast<size_t>(n));
    cleanup();
    value = fresh;
    length = n;
    return p + 6 + 2 * static_cast<size_t>(n);
}

void* ZOV_String::get(void* position, const void* limit) {
    if (status != 0 || position == nullptr)
        return position;
    if (limit == nullptr)
        return get(position);  // no bound, as for records
    const auto* p = static_cast<const unsigned char*>(position);
    const auto* end = static_cast<const unsigned char*>(limit);
    if (end < p || end - p < kImageOverhead)
        return nullptr;
    uint32_t n = 0;
    std::memcpy(&n, p, sizeof n);
    if (static_cast<uint64_t>(end - p) < kImageOverhead + 2 * static_cast<uint64_t>(n))
        return nullptr;
    return get(position);
}

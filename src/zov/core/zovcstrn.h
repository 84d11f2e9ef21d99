// ZOV_String: the system's string of 16-bit characters, with an 8-bit form for
// logs and file names and a binary image embedded in record images.
//
// String image, packed, host byte order:
//   +0       uint32  n, number of characters
//   +4       n x uint16 characters
//   +4 + 2n  uint16  terminator 0
// Size 6 + 2n bytes.
#pragma once

#include <cstddef>

// Free functions on zero-terminated arrays of 16-bit units.
unsigned int zovlen(const unsigned short* s);
unsigned short* zovncpy(unsigned short* dst, const unsigned short* src, unsigned int n);
unsigned short* zovcpy(unsigned short* dst, const unsigned short* src);
unsigned short* zovcat(unsigned short* dst, const unsigned short* src);
int zovcmp(const unsigned short* a, const unsigned short* b);
int strtozov(unsigned short* dst, const char* src, unsigned int n);
int zovtostr(char* dst, const unsigned short* src, unsigned int n);

// Process-wide count of character buffers that could not be allocated. The
// string class writes no log lines; an owner that fails because one of its
// strings failed compares the count before and after, and reports it.
unsigned long ZOV_StringAllocationFailures();

class ZOV_String {
  public:
    static constexpr int kImageOverhead = 6;  // count + terminator

    ZOV_String() : ZOV_String(static_cast<const unsigned short*>(nullptr)) {}
    ZOV_String(const unsigned short* text);
    ZOV_String(const char* text);
    ZOV_String(const ZOV_String& other);
    ~ZOV_String() { cleanup(); }

    ZOV_String& operator=(const unsigned short* text);
    ZOV_String& operator=(const ZOV_String& other);
    ZOV_String& operator=(const char* text);

    ZOV_String operator+(const unsigned short* text) const;
    ZOV_String operator+(const ZOV_String& other) const;
    ZOV_String operator+(const char* text) const;
    ZOV_String& operator+=(const unsigned short* text);
    ZOV_String& operator+=(const ZOV_String& other);
    ZOV_String& operator+=(const char* text);

    bool operator==(const unsigned short* text) const;
    bool operator==(const ZOV_String& other) const;
    bool operator==(const char* text) const;
    bool operator!=(const unsigned short* text) const { return !(*this == text); }
    bool operator!=(const ZOV_String& other) const { return !(*this == other); }
    bool operator!=(const char* text) const { return !(*this == text); }

    // 8-bit form, owned by the string; refreshed at every call. Null on failure.
    char* getcValue();
    // Copies min(n, length + 1) units: the terminator only when n > length.
    unsigned short* copyTo(unsigned short* buf, unsigned int n) const;
    const unsigned short* getValue() const { return value; }
    unsigned int getLength() const { return length; }
    bool isEmpty() const { return length == 0; }

    int binarySize() const { return kImageOverhead + 2 * static_cast<int>(length); }
    void* put(void* position) const;
    void* get(void* position);
    // Bounds-checked read of an image: reads nothing at or beyond `limit` and
    // returns null (string unchanged) when the image does not fit before it.
    // A null limit means no bound.
    void* get(void* position, const void* limit);

    void cleanup();

    int status = 0;

  private:
    // Replaces the value with n units of `text` (may be null when n is 0).
    void assign(const unsigned short* text, unsigned int n);
    void assignNarrow(const char* text);
    // Takes `fresh` (n units, made before the old value is freed, since the
    // text it was made from may be that value) as the value; null: status 301.
    void adopt(unsigned short* fresh, unsigned int n);
    void concatenate(const unsigned short* text, unsigned int n);

    unsigned short* value = nullptr;
    char* cvalue = nullptr;
    unsigned int length = 0;
};

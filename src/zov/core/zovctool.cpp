#include "zov/core/zovctool.h"

#include <dirent.h>
#include <limits.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

static constexpr char _ZOV_UNIT_[] = "zovctool";

namespace {

constexpr int kFormatBuffer = 1024;

// Null until a sink is installed: the lines are then dropped.
std::atomic<ZOV_LogSink> logSink{nullptr};

const char* const kMessageFormats[] = {
    nullptr,
    "Allocation Error in %s",
    "Function %s failed in %s. %s.",
    "Maximum reached. Reset statistics.",
    "Refused %s in %s. %s.",
    "Monitoring degraded in %s. %s.",
    "Monitoring degraded: %s happened %s more times.",
    "Recovered %s in %s. %s.",
};
// Inserts each message passes to the sink.
const int kMessageInserts[] = {0, 1, 3, 1, 3, 2, 2, 3};

ZOV_String formatV(const char* format, va_list args) {
    if (format == nullptr)
        return ZOV_String();
    char buffer[kFormatBuffer] = {};
    std::vsnprintf(buffer, sizeof buffer, format, args);  // cuts at 1023 characters
    return ZOV_String(buffer);
}

}  // namespace

int bZOVTracing = 0;

void ZOV_SetLogSink(ZOV_LogSink sink) {
    logSink.store(sink, std::memory_order_release);
}

ZOV_String ZOV_Format_Message(const char* format, ...) {
    va_list args;
    va_start(args, format);
    ZOV_String text = formatV(format, args);
    va_end(args);
    return text;
}

ZOV_String ZOV_GetLastError(int error) {
    const int number = error != 0 ? error : errno;
    char text[256] = {};
    const char* description = strerror_r(number, text, sizeof text);  // GNU form
    return ZOV_Format_Message("Error %i. %s", number, description);
}

void ZOV_WriteLine(const char* unit, int line, const char* function, const char* format, ...) {
    const ZOV_LogSink sink = logSink.load(std::memory_order_acquire);
    if (sink == nullptr)
        return;
    va_list args;
    va_start(args, format);
    ZOV_String text = formatV(format, args);
    va_end(args);
    sink(unit, line, function, 0, text.getcValue(), nullptr, 0);
}

void ZOV_LogMessage(const char* unit, int line, const char* function, int number,
                    const char* insert1, const char* insert2, const char* insert3) {
    if (number < ZOV_MSG_ALLOCATION_ERROR || number > ZOV_MSG_LAST)
        return;
    const ZOV_LogSink sink = logSink.load(std::memory_order_acquire);
    if (sink == nullptr)
        return;
    ZOV_String text = ZOV_Format_Message(kMessageFormats[number], insert1 ? insert1 : "",
                                         insert2 ? insert2 : "", insert3 ? insert3 : "");
    // The inserts are passed as given.
    const char* const inserts[] = {insert1, insert2, insert3};
    sink(unit, line, function, number, text.getcValue(), inserts, kMessageInserts[number]);
}

void ZOV_LogSystemFailure(const char* unit, int line, const char* call, const char* function,
                          int error) {
    ZOV_String detail = ZOV_GetLastError(error);
    ZOV_LogMessage(unit, line, function, ZOV_MSG_FUNCTION_FAILED, call, function,
                   detail.getcValue());
}

void ZOV_DumpMemory(const void* start, int length, const char* title) {
    static constexpr char fn[] = "ZOV_DumpMemory";
    ZOV_ENTRY(fn);
    if (start != nullptr) {
        if (title != nullptr)
            ZOV_PRINT(fn, "%s", title);
        const auto* p = static_cast<const unsigned char*>(start);
        for (int remaining = length; remaining >= 1; remaining -= 8, p += 8) {
            const int chunk = remaining < 8 ? remaining : 8;
            char hex[8 * 3 + 1] = {};
            char text[8 + 1] = {};
            for (int i = 0; i < 8; ++i) {
                if (i < chunk) {
                    std::snprintf(hex + 3 * i, 4, "%02X ", p[i]);
                    text[i] = std::isprint(p[i]) ? static_cast<char>(p[i]) : '.';
                } else {
                    std::memcpy(hex + 3 * i, "   ", 3);
                    text[i] = ' ';
                }
            }
            ZOV_PRINT(fn, "| %#lX | %s | %s |", reinterpret_cast<unsigned long>(p), hex, text);
        }
    }
    ZOV_EXIT(fn);
}

// ---------------------------------------------------------------------------
// Configuration and registry lookup.

namespace {

char ZOVEnvironmentRegistry[256];
char* pZOVEnvironmentRegistry = nullptr;

// Reads the next line into `line`, first skipping all white space (so blank
// lines and indentation vanish). Returns false at the end of the file. A line
// longer than kZOVMaxLine characters is passed over as a whole.
bool nextLine(std::FILE* file, char (&line)[kZOVMaxLine + 1]) {
    for (;;) {
        int c;
        do {
            c = std::fgetc(file);
        } while (c != EOF && std::isspace(c));
        if (c == EOF)
            return false;
        int n = 0;
        bool tooLong = false;
        for (; c != EOF && c != '\n'; c = std::fgetc(file)) {
            if (n < kZOVMaxLine) {
                line[n++] = static_cast<char>(c);
            } else {
                tooLong = true;
            }
        }
        line[n] = 0;
        if (!tooLong)
            return true;
    }
}

// The run of non-white characters at `p`, after skipping blanks and tabs.
// Returns false when the run is empty.
// A line's run always fits `word`.
bool wordAt(const char* p, char (&word)[kZOVMaxLine + 1]) {
    while (*p == ' ' || *p == '\t')
        ++p;
    const char* end = p;
    while (*end != 0 && !std::isspace(static_cast<unsigned char>(*end)))
        ++end;
    if (end == p)
        return false;
    const size_t n = std::min(static_cast<size_t>(end - p), sizeof word - 1);
    std::memcpy(word, p, n);
    word[n] = 0;
    return true;
}

}  // namespace

char* ZOV_Environment_Registry(const char* path) {
    static constexpr char fn[] = "ZOV_Environment_Registry";
    ZOV_ENTRY(fn);
    if (path != nullptr)
        ZOV_TRACE(fn, "parameter=<%s>", path);
    ZOV_TRACE(fn, "pZOVEnvironmentRegistry=%#lX",
              reinterpret_cast<unsigned long>(pZOVEnvironmentRegistry));
    if (pZOVEnvironmentRegistry == nullptr) {
        const char* chosen = path;
        if (chosen != nullptr && std::strlen(chosen) >= sizeof ZOVEnvironmentRegistry) {
            ZOV_TRACE(fn, "Path too long, refused: %.64s...", chosen);
            chosen = nullptr;
        }
        if (chosen == nullptr) {
            std::FILE* probe = std::fopen(kZOVConfigPrimary, "r");
            if (probe != nullptr)
                std::fclose(probe);
            chosen = probe != nullptr ? kZOVConfigPrimary : kZOVConfigSecondary;
        }
        std::snprintf(ZOVEnvironmentRegistry, sizeof ZOVEnvironmentRegistry, "%s", chosen);
        pZOVEnvironmentRegistry = ZOVEnvironmentRegistry;
    }
    ZOV_TRACE(fn, "%s", pZOVEnvironmentRegistry);
    ZOV_EXIT_PTR(fn, pZOVEnvironmentRegistry);
    return pZOVEnvironmentRegistry;
}

void ZOV_ResetEnvironmentRegistry() {
    pZOVEnvironmentRegistry = nullptr;
    ZOVEnvironmentRegistry[0] = 0;
}

ZOV_String ZOV_FindRegistryValue(const char* configPath, const char* key) {
    static constexpr char fn[] = "ZOV_FindRegistryValue";
    ZOV_ENTRY(fn);
    // Initialised, not assigned: a value that could not be held keeps its
    // failed status for the caller to see.
    ZOV_String value = configPath != nullptr && key != nullptr
                           ? ZOV_GetRegistryValue(configPath, key)
                           : ZOV_String();
    ZOV_EXIT(fn);
    return value;
}

ZOV_String ZOV_ConfigValue(const char* key) {
    return ZOV_FindRegistryValue(ZOV_Environment_Registry(nullptr), key);
}

ZOV_String ZOV_GetRegistryValue(const char* path, const char* key) {
    static constexpr char fn[] = "ZOV_GetRegistryValue";
    ZOV_ENTRY(fn);
    ZOV_String result;
    if (path == nullptr || key == nullptr) {
        ZOV_EXIT(fn);
        return result;
    }
    // A directory holds one file per key whose first word is the value; a
    // file holds "key value" lines. Fixed buffers: the lookup allocates
    // nothing that could throw.
    char file[PATH_MAX];
    bool directory = false;
    // Traced whether or not it opens: the lines show every attempt.
    DIR* dir = opendir(path);
    ZOV_TRACE(fn, "opendir %s rc %Li", path,
              static_cast<long long>(reinterpret_cast<intptr_t>(dir)));
    if (dir != nullptr) {
        closedir(dir);
        directory = true;
    }
    const int length = directory ? std::snprintf(file, sizeof file, "%s/%s", path, key)
                                 : std::snprintf(file, sizeof file, "%s", path);
    if (length < 0 || static_cast<size_t>(length) >= sizeof file) {
        ZOV_TRACE(fn, "Path too long, refused: %.64s...", path);
        ZOV_EXIT(fn);
        return result;
    }
    std::FILE* in = std::fopen(file, "r");
    ZOV_TRACE(fn, "fopen %s rc %Li", file, static_cast<long long>(reinterpret_cast<intptr_t>(in)));
    if (in == nullptr) {
        ZOV_EXIT(fn);
        return result;
    }
    ZOV_TRACE(fn, "Looking for %s in %s", key, file);
    const size_t keyLength = std::strlen(key);
    char value[kZOVMaxLine + 1] = {};
    bool found = false;
    char line[kZOVMaxLine + 1];
    while (nextLine(in, line)) {
        // The last matching line wins.
        char word[kZOVMaxLine + 1];
        const bool match =
            directory ? wordAt(line, word)
                      : std::strncmp(line, key, keyLength) == 0 && wordAt(line + keyLength, word);
        if (match) {
            std::memcpy(value, word, sizeof value);
            found = true;
        }
    }
    std::fclose(in);
    if (found) {
        ZOV_TRACE(fn, "value=<%s>", value);
        result = value + (value[0] == '=' ? 1 : 0);
        // An unheld value would read as a missing key: the default memory
        // size, or a broker without its UUID.
        if (result.status != 0)
            ZOV_LOG_ALLOCATION_ERROR(fn);
    }
    ZOV_TRACE(fn, "Value = %s", result.getcValue());
    ZOV_EXIT(fn);
    return result;
}

uint32_t ZOV_SecondsSince1901() {
    return static_cast<uint32_t>(static_cast<uint64_t>(std::time(nullptr)) + kZOVSeconds1901);
}

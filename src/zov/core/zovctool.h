// Trace and logging through an installed log sink, text helpers, and the
// configuration and registry lookup.
//
// Trace lines are written only while bZOVTracing is 1; the switch is tested at
// every line so that nothing is formatted while tracing is off. Logged
// messages (catalogue numbers 1 to 7) and print/dump lines are always written.
#pragma once

#include <cerrno>
#include <cstdint>

#include "zov/core/zovcstrn.h"

// Process-wide trace switch, 0 or 1; written only by the factory entry.
// Declared hidden, as its definition is, so that every test of it on the
// per-message path is one load, not a load through the address table.
extern int bZOVTracing __attribute__((visibility("hidden")));

// Message catalogue of the message source "LumenaMonitorNode".
enum ZOV_MessageNumber {
    ZOV_MSG_ALLOCATION_ERROR = 1,   // "Allocation Error in %s"
    ZOV_MSG_FUNCTION_FAILED = 2,    // "Function %s failed in %s. %s."
    ZOV_MSG_MAXIMUM_REACHED = 3,    // "Maximum reached. Reset statistics."
    ZOV_MSG_REFUSED = 4,            // "Refused %s in %s. %s." object, function, what was found
    ZOV_MSG_DEGRADED = 5,           // "Monitoring degraded in %s. %s." function, condition
    ZOV_MSG_DEGRADED_REPEATED = 6,  // "Monitoring degraded: %s happened %s more times."
    ZOV_MSG_RECOVERED = 7,          // "Recovered %s in %s. %s." object, function, how
    ZOV_MSG_LAST = ZOV_MSG_RECOVERED,
};

ZOV_String ZOV_Format_Message(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "Error %i. " followed by the system's text; 0 means the current errno.
ZOV_String ZOV_GetLastError(int error);
void ZOV_DumpMemory(const void* start, int length, const char* title);

// Where trace lines and logged messages go. The plug-in installs the
// broker's log call when it is loaded; a program built on the core alone
// installs its own sink or none (every line is then dropped). `number` is 0
// for a trace line, else the catalogue number; `inserts` holds the message's
// `count` inserts as given (any may be null), null for a trace line.
using ZOV_LogSink = void (*)(const char* unit, int line, const char* function, int number,
                             const char* text, const char* const* inserts, int count);
void ZOV_SetLogSink(ZOV_LogSink sink);

// One trace-type log line, written whatever the switch (the macros test it).
void ZOV_WriteLine(const char* unit, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// One catalogued message; the inserts not used by `number` may be null.
void ZOV_LogMessage(const char* unit, int line, const char* function, int number,
                    const char* insert1, const char* insert2 = nullptr,
                    const char* insert3 = nullptr);
// Message 2 for a failed system call, with ZOV_GetLastError(error) as detail.
void ZOV_LogSystemFailure(const char* unit, int line, const char* call, const char* function,
                          int error);

#define ZOV_TRACE(function, ...)                                        \
    do {                                                                \
        if (bZOVTracing)                                                \
            ZOV_WriteLine(_ZOV_UNIT_, __LINE__, function, __VA_ARGS__); \
    } while (0)
#define ZOV_ENTRY(function) ZOV_TRACE(function, "Entry")
#define ZOV_EXIT(function) ZOV_TRACE(function, "Exit")
#define ZOV_EXIT_RC(function, rc) ZOV_TRACE(function, "Exit: 0x%X", static_cast<unsigned>(rc))
// Pointers are 64-bit here: printed in full.
#define ZOV_EXIT_PTR(function, ptr) \
    ZOV_TRACE(function, "Exit: 0x%lX", reinterpret_cast<unsigned long>(ptr))
#define ZOV_PRINT(function, ...) ZOV_WriteLine(_ZOV_UNIT_, __LINE__, function, __VA_ARGS__)
#define ZOV_LOG_ALLOCATION_ERROR(function) \
    ZOV_LogMessage(_ZOV_UNIT_, __LINE__, function, ZOV_MSG_ALLOCATION_ERROR, function)
#define ZOV_LOG_CALL_FAILED(call, function, detail) \
    ZOV_LogMessage(_ZOV_UNIT_, __LINE__, function, ZOV_MSG_FUNCTION_FAILED, call, function, detail)
// Captures errno before anything else can change it.
#define ZOV_LOG_SYSTEM_FAILED(call, function) \
    ZOV_LogSystemFailure(_ZOV_UNIT_, __LINE__, call, function, errno)

// Notices string buffers that could not be allocated while an operation runs.
// The string class cannot report them; the operation that fails because of
// one reports "Allocation Error in %s" under its own name.
class ZOV_String_Failure_Watch {
  public:
    ZOV_String_Failure_Watch() : start(ZOV_StringAllocationFailures()) {}
    bool seen() const { return ZOV_StringAllocationFailures() != start; }

  private:
    unsigned long start;
};

// Configuration file and broker registry.
inline constexpr const char* kZOVConfigPrimary = "/opt/wmqi/lil/zovpnode.cfg";
inline constexpr const char* kZOVConfigSecondary = "/opt/mqsi/lil/zovpnode.cfg";
inline constexpr const char* kZOVRegistryPrimary = "/var/wmqi/registry/";
inline constexpr const char* kZOVRegistrySecondary = "/var/mqsi/registry/";
// Longest line or value read; a longer line is passed over as a whole.
inline constexpr int kZOVMaxLine = 511;

// Fixes the configuration file path at the first call and returns it. A given
// path longer than 255 characters is refused (the built-in lookup applies).
char* ZOV_Environment_Registry(const char* path);
ZOV_String ZOV_FindRegistryValue(const char* configPath, const char* key);
ZOV_String ZOV_GetRegistryValue(const char* path, const char* key);
// The configured value of `key` read from the configuration file, 8-bit.
ZOV_String ZOV_ConfigValue(const char* key);

// For tests: forget the fixed configuration path.
void ZOV_ResetEnvironmentRegistry();

// Results of the operations that can fail.
enum ZOV_ReturnCode {
    ZOV_RC_OK = 0,
    ZOV_RC_NOT_FOUND = 1,   // child neither found nor made; unknown record type in an area
    ZOV_RC_NO_SPACE = 2,    // no space left in an area
    ZOV_RC_NULL = 3,        // a required record, collection or resource is null
    ZOV_RC_MISSING = 4,     // a statistics or event data record is missing
    ZOV_RC_MAXIMUM = 5,     // a statistics maximum was reached
    ZOV_RC_ALLOCATION = 6,  // an object could not be allocated
    ZOV_RC_FAILED = 8,      // the object, or the area it needs, is in a failed state
    ZOV_RC_MUTEX = 9,       // a named mutex could not be built
    ZOV_RC_NO_RECORD = 10,  // no information or statistics record to give
};

// Value of a `status` word after a failed set-up.
inline constexpr int ZOV_STATUS_FAILED = 301;

enum ZOV_NodeType { ZOV_NT_INPUT = 1, ZOV_NT_OUTPUT = 2, ZOV_NT_OTHER = 3 };

// Seconds since 1901-01-01 00:00:00 UTC: Unix seconds plus this offset.
inline constexpr uint32_t kZOVSeconds1901 = 2177452800u;
// The current time in seconds since 1901, as stored in records.
uint32_t ZOV_SecondsSince1901();

// Developer trace: printf-style statements filtered by a per-source level and
// written one line at a time to the process's standard error.
#pragma once

#include <cstddef>
#include <cstdint>

// One trace statement's place in the code. Built on the stack right before
// the statement writes; it only points at static text.
struct CmLogSite {
    const char* file;      // the source file as the statement names it, e.g. "ProxyUtil"
    const char* function;  // the enclosing function as written there, e.g. "Timer::Stop"
    uint32_t line;
    int32_t level;  // 1 errors and life-cycle, 2 entries and counts, 3 results
};

class CmLog {
public:
    // Creates or overwrites the threshold of szSource. Start-up only: the
    // table is read without a lock afterwards.
    static void SetLevel(const char* szSource, int32_t nLevel);

    // Writes "source - function()[0xTID] file:line message\n" when the
    // site's level is at most the source's threshold (0 when unset).
    static void Write(const CmLogSite& site, const char* szSource, const char* szFormat, ...)
        __attribute__((format(printf, 3, 4)));

    // The threshold Write compares against (0 for a source without entry).
    static int32_t Threshold(const char* szSource);

    // Test seams: capture finished lines instead of writing them to stderr
    // (nullptr restores stderr), and inspect or empty the level table.
    using Sink = void (*)(const char* szLine, size_t nLength);
    static void SetSink(Sink sink);
    static size_t LevelCount();
    static void ClearLevels();

    // Path shortening of the file field: more than four '/'-separated parts
    // keep the first two and the last two around "...".
    static void ShortenPath(const char* szPath, char* szOut, size_t nOut);
};

// The module's source name, passed by every statement.
inline constexpr const char* kLogSource = "Kestrel";

// A trace statement: KESTREL_LOG("ProxyUtil", "AddDeviceInstance", 1, "Adding instance '%s'", id);
#define KESTREL_LOG(file, function, level, ...)                                 \
    do {                                                                        \
        const CmLogSite kestrelLogSite_{(file), (function), __LINE__, (level)}; \
        CmLog::Write(kestrelLogSite_, kLogSource, __VA_ARGS__);                 \
    } while (0)

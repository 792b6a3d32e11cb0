// Landlock tells a process nothing about what it refused (only the audit log
// hears of it), so HostProc learns of refused file accesses where drivers ask
// for them: it interposes the C library's functions that open files (the
// executable's symbols come first in every driver's lookup) and reports those
// that fail with EACCES. A driver that makes the system call itself is still
// refused, just not reported.
#undef _FORTIFY_SOURCE  // its inline open() would clash with the one defined here

#include "Refusals.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include "Diagnostics.h"
#include "confine/Settings.h"

namespace hostproc {

namespace {

int g_hReport = -1;
std::atomic<bool> g_bWatchFiles{false};
// The report keeps every refusal, up to a bound a looping driver cannot
// turn into a full disk.
constexpr unsigned kMaxReported = 10000;
std::atomic<unsigned> g_nReported{0};
// Hashes of the refusals already on standard error.
std::atomic<std::uint64_t> g_seen[256];

bool FirstTime(const char* szText) {
    std::uint64_t nHash = 14695981039346656037ULL;
    for (const char* p = szText; *p != '\0'; ++p) nHash = (nHash ^ static_cast<unsigned char>(*p)) * 1099511628211ULL;
    nHash |= 1;  // 0 marks a free slot
    constexpr size_t kSlots = sizeof g_seen / sizeof g_seen[0];
    for (size_t i = 0; i < kSlots; ++i) {
        std::uint64_t nSlot = 0;
        if (g_seen[(nHash + i) % kSlots].compare_exchange_strong(nSlot, nHash)) return true;
        if (nSlot == nHash) return false;
    }
    return false;  // standard error has had enough of them
}

void WriteReport(const char* szLine) {
    if (g_hReport < 0) return;
    // Escaped as on standard error: a path with a newline makes no line of its own.
    char szBuffer[2100];
    size_t nLength = Escape(szLine, strlen(szLine), szBuffer, sizeof szBuffer - 1);
    szBuffer[nLength++] = '\n';
    [[maybe_unused]] ssize_t n = write(g_hReport, szBuffer, nLength);
}

}  // namespace

void OpenReport() {
    const char* szPath = std::getenv(confine::kReportVariable);
    if (szPath == nullptr || *szPath == '\0') return;
    const int hReport = open(szPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    // Off 0-2, where a driver's prints would land in it.
    g_hReport = hReport >= 0 && hReport <= STDERR_FILENO ? fcntl(hReport, F_DUPFD_CLOEXEC, 3) : hReport;
    if (g_hReport != hReport && hReport >= 0) close(hReport);
}

void Announce(const char* szFormat, ...) {
    char szText[1024];
    va_list args;
    va_start(args, szFormat);
    vsnprintf(szText, sizeof szText, szFormat, args);
    va_end(args);
    Diagnose("%s", szText);
    WriteReport(szText);
}

void Refused(const char* szFormat, ...) {
    char szText[1024] = "refused: ";
    va_list args;
    va_start(args, szFormat);
    vsnprintf(szText + 9, sizeof szText - 9, szFormat, args);
    va_end(args);
    if (FirstTime(szText)) DiagnoseAs(Severity::Warning, "%s", szText);
    if (g_nReported.fetch_add(1, std::memory_order_relaxed) < kMaxReported) WriteReport(szText);
}

void WatchFileRefusals() { g_bWatchFiles.store(true); }
bool WatchingFileRefusals() { return g_bWatchFiles.load(std::memory_order_relaxed); }

}  // namespace hostproc

namespace {

template <typename F>
F Next(const char* szName) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, szName));
}

bool TakesMode(int nFlags) { return (nFlags & O_CREAT) != 0 || (nFlags & O_TMPFILE) == O_TMPFILE; }

template <typename T>
T Noted(T result, bool bFailed, const char* szCall, const char* szPath) {
    if (bFailed && errno == EACCES && hostproc::WatchingFileRefusals()) {
        hostproc::Refused("%s '%s' (EACCES)", szCall, szPath != nullptr ? szPath : "");
        errno = EACCES;
    }
    return result;
}

}  // namespace

#define HOSTPROC_INTERPOSED extern "C" __attribute__((visibility("default")))

// open(2)'s mode argument, which is there only with O_CREAT or O_TMPFILE.
#define HOSTPROC_MODE(nFlags, nMode) \
    if (TakesMode(nFlags)) {         \
        va_list args;                \
        va_start(args, nFlags);      \
        nMode = va_arg(args, int);   \
        va_end(args);                \
    }
#define HOSTPROC_OPEN(NAME)                                                    \
    HOSTPROC_INTERPOSED int NAME(const char* szPath, int nFlags, ...) {        \
        static const auto pNext = Next<int (*)(const char*, int, ...)>(#NAME); \
        int nMode = 0;                                                         \
        HOSTPROC_MODE(nFlags, nMode)                                           \
        const int hFile = pNext(szPath, nFlags, nMode);                        \
        return Noted(hFile, hFile < 0, "open", szPath);                        \
    }
#define HOSTPROC_OPENAT(NAME)                                                       \
    HOSTPROC_INTERPOSED int NAME(int hDir, const char* szPath, int nFlags, ...) {   \
        static const auto pNext = Next<int (*)(int, const char*, int, ...)>(#NAME); \
        int nMode = 0;                                                              \
        HOSTPROC_MODE(nFlags, nMode)                                                \
        const int hFile = pNext(hDir, szPath, nFlags, nMode);                       \
        return Noted(hFile, hFile < 0, "open", szPath);                             \
    }
// What fortified callers use (open without a mode the compiler can see).
#define HOSTPROC_OPEN_2(NAME)                                             \
    HOSTPROC_INTERPOSED int NAME(const char* szPath, int nFlags) {        \
        static const auto pNext = Next<int (*)(const char*, int)>(#NAME); \
        const int hFile = pNext(szPath, nFlags);                          \
        return Noted(hFile, hFile < 0, "open", szPath);                   \
    }
#define HOSTPROC_OPENAT_2(NAME)                                                \
    HOSTPROC_INTERPOSED int NAME(int hDir, const char* szPath, int nFlags) {   \
        static const auto pNext = Next<int (*)(int, const char*, int)>(#NAME); \
        const int hFile = pNext(hDir, szPath, nFlags);                         \
        return Noted(hFile, hFile < 0, "open", szPath);                        \
    }
#define HOSTPROC_FOPEN(NAME)                                                        \
    HOSTPROC_INTERPOSED FILE* NAME(const char* szPath, const char* szMode) {        \
        static const auto pNext = Next<FILE* (*)(const char*, const char*)>(#NAME); \
        FILE* pFile = pNext(szPath, szMode);                                        \
        return Noted(pFile, pFile == nullptr, "open", szPath);                      \
    }

HOSTPROC_OPEN(open)
HOSTPROC_OPEN(open64)
HOSTPROC_OPENAT(openat)
HOSTPROC_OPENAT(openat64)
HOSTPROC_OPEN_2(__open_2)
HOSTPROC_OPEN_2(__open64_2)
HOSTPROC_OPENAT_2(__openat_2)
HOSTPROC_OPENAT_2(__openat64_2)
HOSTPROC_FOPEN(fopen)
HOSTPROC_FOPEN(fopen64)

HOSTPROC_INTERPOSED DIR* opendir(const char* szPath) {
    static const auto pNext = Next<DIR* (*)(const char*)>("opendir");
    DIR* pDir = pNext(szPath);
    return Noted(pDir, pDir == nullptr, "opendir", szPath);
}

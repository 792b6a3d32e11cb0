#include "trace/Log.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <pthread.h>
#include <unistd.h>

namespace {

constexpr size_t kLineBuffer = 2048;

// A handful of sources at most, so a flat table beats a tree: a filtered
// statement costs one short scan.
struct LevelEntry {
    std::string source;
    int32_t threshold;
};
using LevelTable = std::vector<LevelEntry>;

// Never destroyed: a thread still inside an export at process exit must not
// meet a destroyed table. Unloading empties it (ClearLevels) instead, and it
// lives in static storage, so nothing stays allocated once the module is gone.
LevelTable& Levels() {
    alignas(LevelTable) static unsigned char storage[sizeof(LevelTable)];
    static LevelTable* table = new (storage) LevelTable;
    return *table;
}

std::atomic<CmLog::Sink> g_sink{nullptr};

// One write(2) per line, so lines of different threads never mix. SIGPIPE is
// blocked around it (a stderr pipe whose reader is gone must not kill the
// application) and a SIGPIPE that this write raised is consumed.
void WriteToStderr(const char* text, size_t length) {
    sigset_t pipeOnly, previous, pendingBefore;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    sigpending(&pendingBefore);
    const bool wasPending = sigismember(&pendingBefore, SIGPIPE) == 1;

    const int savedErrno = errno;
    bool brokenPipe = false;
    while (length > 0) {
        const ssize_t n = ::write(STDERR_FILENO, text, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            brokenPipe = errno == EPIPE;
            break;
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
    if (brokenPipe && !wasPending && !sigismember(&previous, SIGPIPE)) {
        const timespec noWait{0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = savedErrno;
}

}  // namespace

void CmLog::SetLevel(const char* szSource, int32_t nLevel) {
    for (LevelEntry& entry : Levels()) {
        if (entry.source == szSource) {
            entry.threshold = nLevel;
            return;
        }
    }
    Levels().push_back({szSource, nLevel});
}

int32_t CmLog::Threshold(const char* szSource) {
    for (const LevelEntry& entry : Levels()) {
        if (strcmp(entry.source.c_str(), szSource) == 0) return entry.threshold;
    }
    return 0;
}

void CmLog::ShortenPath(const char* szPath, char* szOut, size_t nOut) {
    if (nOut == 0) return;
    std::string_view first, second, secondToLast, last;
    size_t count = 0;
    std::string_view rest(szPath);
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty()) continue;  // leading, trailing and doubled separators
        if (count == 0) first = part;
        if (count == 1) second = part;
        secondToLast = last;
        last = part;
        ++count;
    }
    if (count <= 4) {
        snprintf(szOut, nOut, "%s", szPath);
        return;
    }
    const auto len = [](std::string_view v) { return static_cast<int>(v.size()); };
    snprintf(szOut, nOut, "%.*s/%.*s/.../%.*s/%.*s", len(first), first.data(), len(second), second.data(),
             len(secondToLast), secondToLast.data(), len(last), last.data());
}

void CmLog::Write(const CmLogSite& site, const char* szSource, const char* szFormat, ...) {
    if (site.level > Threshold(szSource)) return;

    char shortFile[kLineBuffer];
    ShortenPath(site.file, shortFile, sizeof shortFile);
    const unsigned threadId = static_cast<unsigned>(gettid());

    // First pass: the frame, with the message format inserted as text.
    char frame[kLineBuffer];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"  // cutting at 2047 characters is intended
    snprintf(frame, sizeof frame, "%s - %s()[0x%04X] %s:%u %s\n", szSource, site.function, threadId, shortFile,
             site.line, szFormat);
#pragma GCC diagnostic pop

    // Second pass: the whole frame is the format of the caller's arguments.
    char line[kLineBuffer];
    va_list args;
    va_start(args, szFormat);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int expanded = vsnprintf(line, sizeof line, frame, args);
#pragma GCC diagnostic pop
    va_end(args);
    if (expanded < 0) line[0] = '\0';
    const size_t length = strnlen(line, sizeof line - 1);

    if (const Sink sink = g_sink.load(std::memory_order_acquire)) {
        sink(line, length);
    } else {
        WriteToStderr(line, length);
    }
}

void CmLog::SetSink(Sink sink) { g_sink.store(sink, std::memory_order_release); }

size_t CmLog::LevelCount() { return Levels().size(); }

void CmLog::ClearLevels() {
    Levels().clear();
    Levels().shrink_to_fit();
}

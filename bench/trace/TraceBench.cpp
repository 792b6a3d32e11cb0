// Cost of a trace statement: filtered out (the common case on every export
// entry) and written, both into a discarding sink and through write(2).
#include "trace/Log.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

void Discard(const char*, size_t) {}

void BM_FilteredStatement(benchmark::State& state) {
    CmLog::ClearLevels();
    CmLog::SetLevel(kLogSource, 1);
    for (auto _ : state) {
        KESTREL_LOG("Proxy", "OpenConnection", 2, "szServer='%s'", "cam1");
    }
}
BENCHMARK(BM_FilteredStatement);

void BM_FilteredStatementNoLevelConfigured(benchmark::State& state) {
    CmLog::ClearLevels();
    for (auto _ : state) {
        KESTREL_LOG("Proxy", "OpenConnection", 2, "szServer='%s'", "cam1");
    }
}
BENCHMARK(BM_FilteredStatementNoLevelConfigured);

void BM_WrittenStatementFormatting(benchmark::State& state) {
    CmLog::ClearLevels();
    CmLog::SetLevel(kLogSource, 3);
    CmLog::SetSink(&Discard);
    for (auto _ : state) {
        KESTREL_LOG("Proxy", "OpenConnection", 2, "szServer='%s'", "cam1");
    }
    CmLog::SetSink(nullptr);
}
BENCHMARK(BM_WrittenStatementFormatting);

// Through the real output path, with stderr pointed at /dev/null.
void BM_WrittenStatementToStderr(benchmark::State& state) {
    CmLog::ClearLevels();
    CmLog::SetLevel(kLogSource, 3);
    const int saved = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDERR_FILENO);
    for (auto _ : state) {
        KESTREL_LOG("Proxy", "OpenConnection", 2, "szServer='%s'", "cam1");
    }
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(null);
}
BENCHMARK(BM_WrittenStatementToStderr);

}  // namespace

BENCHMARK_MAIN();

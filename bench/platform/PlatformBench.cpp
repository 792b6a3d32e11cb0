// Costs of the platform library's hot paths.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "platform/GUID.h"
#include "platform/Process.h"
#include "platform/TextConversion.h"
#include "platform/Thread.h"
#include "platform/TimeStamp.h"

namespace {

// Every forwarded call reads the clock once to arm its deadline.
void BM_SetCurrentTime(benchmark::State& state) {
    NmTimeStamp::CmTimeStamp stamp;
    for (auto _ : state) {
        stamp.SetCurrentTime();
        benchmark::DoNotOptimize(stamp);
    }
}
BENCHMARK(BM_SetCurrentTime);
BENCHMARK(BM_SetCurrentTime)->Threads(2);

// The refinement alone, without the clock reads.
void BM_ClockRefine(benchmark::State& state) {
    NmTimeStamp::CmClockState clockState(1000000000);
    std::uint64_t nTime = 133000000000000000ULL;
    std::int64_t nCounter = 0;
    for (auto _ : state) {
        nTime += 10;
        nCounter += 1000;
        benchmark::DoNotOptimize(clockState.Refine(nTime, nCounter));
    }
}
BENCHMARK(BM_ClockRefine);

// One endpoint name per started proxy server.
void BM_GuidGenerateNewToString(benchmark::State& state) {
    NmGUID::CmGUID guid;
    for (auto _ : state) {
        guid.GenerateNew();
        benchmark::DoNotOptimize(guid.ToString());
    }
}
BENCHMARK(BM_GuidGenerateNewToString);

void BM_CriticalSectionEnterLeave(benchmark::State& state) {
    NmThread::CmCriticalSection cs;
    for (auto _ : state) {
        cs.Enter();
        cs.Leave();
    }
}
BENCHMARK(BM_CriticalSectionEnterLeave);

// Short texts stay on the stack buffer; long ones take a second pass.
void BM_Utf8ToUtf16Le(benchmark::State& state) {
    const std::string strText(static_cast<std::size_t>(state.range(0)), 'k');
    for (auto _ : state) benchmark::DoNotOptimize(NmTextConversion::Utf8ToUtf16Le(strText));
}
BENCHMARK(BM_Utf8ToUtf16Le)->Arg(64)->Arg(1024);

// Starting a program, until Run returns (the exec has been confirmed), with
// the given MiB of touched memory in this process: the part of a cold
// AddDeviceInstance that the application itself pays before its first load
// attempt, and how it scales with the application's size.
void BM_ProcessRun(benchmark::State& state) {
    const size_t nBytes = static_cast<size_t>(state.range(0)) << 20;
    const std::unique_ptr<char[]> pMapped(new char[nBytes + 1]);
    std::memset(pMapped.get(), 1, nBytes + 1);
    NmProcess::CmEndWatch watch;
    for (auto _ : state) {
        NmProcess::CmProcess process;
        process.Run("/bin/true", {}, true);
        state.PauseTiming();
        const NmProcess::CmProcessHandle handle = process.DuplicateHandle();
        watch.Wait({&handle}, 10000);
        state.ResumeTiming();
    }
    benchmark::DoNotOptimize(pMapped.get());
}
BENCHMARK(BM_ProcessRun)->Arg(0)->Arg(1024)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

#include "instances/Timing.h"

#include <atomic>
#include <cstdlib>

namespace kestrel::instances {
namespace {

constexpr std::int64_t kDeadlineMs = 10 * 60 * 1000;
constexpr std::int64_t kLoadBoundMs = 30 * 1000;
constexpr std::uint32_t kFirstRetryMs = 20;
constexpr std::uint32_t kTimerPeriodMs = 1000;
constexpr std::uint32_t kStopStepMs = 100;

#ifdef KESTREL_TEST_TIMING
std::int64_t Override(const char* szName, std::int64_t nDefault) {
    const char* szValue = std::getenv(szName);
    if (szValue == nullptr || *szValue == '\0') return nDefault;
    char* pEnd = nullptr;
    const long long nValue = std::strtoll(szValue, &pEnd, 10);
    return (*pEnd == '\0' && nValue >= 0) ? nValue : nDefault;
}
#else
constexpr std::int64_t Override(const char*, std::int64_t nDefault) { return nDefault; }
#endif

}  // namespace

namespace Timing {

// Set once at load, before the timer sees a call; 0 while none is set.
std::atomic<int> g_nDeadlineSeconds{0};

NmTimeStamp::CmTimeSpan Deadline() {
    if (const int nSeconds = g_nDeadlineSeconds.load()) return NmTimeStamp::CmTimeSpan(0, 0, 0, nSeconds, 0);
#ifdef KESTREL_TEST_TIMING
    return NmTimeStamp::CmTimeSpan(0, 0, 0, 0, DeadlineMilliseconds());
#else
    return NmTimeStamp::CmTimeSpan(0, 0, 10, 0, 0);
#endif
}

void SetDeadlineSeconds(int nSeconds) { g_nDeadlineSeconds.store(nSeconds); }

std::int64_t DeadlineMilliseconds() {
    if (const int nSeconds = g_nDeadlineSeconds.load()) return std::int64_t(nSeconds) * 1000;
    return Override("KESTREL_TEST_DEADLINE_MS", kDeadlineMs);
}

std::int64_t LoadBoundMilliseconds() { return Override("KESTREL_TEST_LOAD_BOUND_MS", kLoadBoundMs); }

std::uint32_t FirstRetryMilliseconds() {
    return static_cast<std::uint32_t>(Override("KESTREL_TEST_RETRY_MS", kFirstRetryMs));
}

std::uint32_t TimerPeriodMilliseconds() {
    return static_cast<std::uint32_t>(Override("KESTREL_TEST_TIMER_PERIOD_MS", kTimerPeriodMs));
}

std::uint32_t StopStepMilliseconds() {
    return static_cast<std::uint32_t>(Override("KESTREL_TEST_STOP_STEP_MS", kStopStepMs));
}

}  // namespace Timing
}  // namespace kestrel::instances

// The spans that instance management waits on.
//
// The shipped library uses fixed values and reads no environment variable
// for them. A build with KESTREL_TEST_TIMING (the test variant of the
// library) takes overrides from the environment, so tests need not wait ten
// minutes for a deadline or ten seconds for the load retries:
//   KESTREL_TEST_DEADLINE_MS      deadline of a call          (600000)
//   KESTREL_TEST_LOAD_BOUND_MS    bound of a driver load      (30000)
//   KESTREL_TEST_RETRY_MS         first load-retry sleep      (20, doubling)
//   KESTREL_TEST_TIMER_PERIOD_MS  deadline timer's period     (1000)
//   KESTREL_TEST_STOP_STEP_MS     Timer::Stop's wait per step (100)
#pragma once

#include <cstdint>

#include "platform/TimeStamp.h"

namespace kestrel::instances::Timing {

// How long a forwarded call may take before its HostProc is killed: 10
// minutes, unless the application's Proxies.ini set another span at load.
NmTimeStamp::CmTimeSpan Deadline();
void SetDeadlineSeconds(int nSeconds);
// The same span in milliseconds, for the monotonic clock.
std::int64_t DeadlineMilliseconds();
// How long loading a driver (and setting its feature set) may take under
// the registry lock before its HostProc is killed.
std::int64_t LoadBoundMilliseconds();
// The first sleep between load attempts of a new HostProc; it doubles.
std::uint32_t FirstRetryMilliseconds();
std::uint32_t TimerPeriodMilliseconds();
std::uint32_t StopStepMilliseconds();

}  // namespace kestrel::instances::Timing

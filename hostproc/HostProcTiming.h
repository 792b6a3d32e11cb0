// How long HostProc waits, idle, before it ends by itself. Fixed in the
// shipped HostProc; the test variant (KESTREL_TEST_TIMING) reads
//   KESTREL_TEST_HOSTPROC_IDLE_MS     after the last client left   (200)
//   KESTREL_TEST_HOSTPROC_INITIAL_MS  when no driver was ever loaded (60000)
// how long a client may stall (before its bind, inside a PDU, or resting
// between calls with no context)
//   KESTREL_TEST_HOSTPROC_STALL_MS                                  (30000)
// and how long a stop waits for driver calls still running
//   KESTREL_TEST_HOSTPROC_STOP_MS                                   (5000)
#pragma once

#include <chrono>
#include <cstdlib>

namespace hostproc {

namespace detail {
inline std::chrono::milliseconds Span([[maybe_unused]] const char* szName, long long nDefault) {
#ifdef KESTREL_TEST_TIMING
    if (const char* szValue = std::getenv(szName); szValue != nullptr && *szValue != '\0') {
        char* pEnd = nullptr;
        const long long nValue = std::strtoll(szValue, &pEnd, 10);
        if (*pEnd == '\0' && nValue >= 0) return std::chrono::milliseconds(nValue);
    }
#endif
    return std::chrono::milliseconds(nDefault);
}
}  // namespace detail

inline std::chrono::milliseconds IdleGrace() { return detail::Span("KESTREL_TEST_HOSTPROC_IDLE_MS", 200); }
inline std::chrono::milliseconds InitialGrace() { return detail::Span("KESTREL_TEST_HOSTPROC_INITIAL_MS", 60000); }
inline std::chrono::milliseconds StallLimit() { return detail::Span("KESTREL_TEST_HOSTPROC_STALL_MS", 30000); }
inline std::chrono::milliseconds StopBound() { return detail::Span("KESTREL_TEST_HOSTPROC_STOP_MS", 5000); }

}  // namespace hostproc

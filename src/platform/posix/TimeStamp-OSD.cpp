// Clock layer of CmTimeStamp: CLOCK_REALTIME as the system time and
// CLOCK_MONOTONIC as the high-resolution counter.
#include "platform/posix/TimeStamp-OSD.h"

#include <cerrno>
#include <ctime>

#include "platform/TimeStamp.h"

#define THIS_FILE "posix/TimeStamp-OSD.cpp"

namespace NmTimeStamp {
namespace NmClock {

constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

std::int64_t QueryCounterFrequency() noexcept
{
    timespec tsResolution{};
    return clock_getres(CLOCK_MONOTONIC, &tsResolution) == 0 ? kNanosecondsPerSecond : 0;
}

std::optional<std::int64_t> QueryCounter() noexcept
{
    timespec tsNow{};
    if (clock_gettime(CLOCK_MONOTONIC, &tsNow) != 0)
        return std::nullopt;
    return static_cast<std::int64_t>(tsNow.tv_sec) * kNanosecondsPerSecond + tsNow.tv_nsec;
}

}  // namespace NmClock

void CmTimeStamp::SetCurrentTime()
{
    timespec tsNow{};
    const bool bRead = clock_gettime(CLOCK_REALTIME, &tsNow) == 0;
    // A system clock before 1970 is treated as a failed conversion.
    if (!bRead || tsNow.tv_sec < 0) {
        const int nCode = bRead ? ERANGE : errno;
        try {
            throw NmError::CmSystemError(NMERROR_LOCATION("NmTimeStamp::CmTimeStamp::SetCurrentTime", THIS_FILE),
                                         "Error converting system time to file time!", nCode);
        } catch (const NmError::CmError& error) {
            throw CmTimeError(NMERROR_LOCATION("NmTimeStamp::CmTimeStamp::SetCurrentTime", THIS_FILE),
                              "Error setting time stamp to current time of day!", kTimeErrorSetCurrentTime, error);
        }
    }
    const std::uint64_t nTime = kUnixEpoch + static_cast<std::uint64_t>(tsNow.tv_sec) * 10000000ULL +
                                static_cast<std::uint64_t>(tsNow.tv_nsec) / 100;

    CmClockState& clockState = GetModuleClockState();
    if (!clockState.CanRefine(nTime)) {
        m_nValue = nTime;
        return;
    }
    const std::optional<std::int64_t> nCounter = NmClock::QueryCounter();
    m_nValue = nCounter ? clockState.Refine(nTime, *nCounter) : nTime;
}

}  // namespace NmTimeStamp

#include "platform/TimeStamp.h"

#include <new>

#include <boost/regex.hpp>

#include "platform/posix/TimeStamp-OSD.h"

namespace NmTimeStamp {
namespace {

// Windows of the refinement, in 100-ns units.
constexpr std::int64_t kMaxStepBack = 1000000;      // 0.1 s
constexpr std::int64_t kMaxAdvance = 100000000;     // 10 s
constexpr std::int64_t kMaxDisagreement = 1000000;  // 0.1 s
constexpr std::int64_t kUnitsPerSecond = 10000000;
// Readings with high 32 bits beyond this are left alone.
constexpr std::uint64_t kMaxRefinedHighPart = 2000000000;

}  // namespace

CmTimeSpan::CmTimeSpan(std::int32_t nDays, std::int32_t nHours, std::int32_t nMinutes, std::int32_t nSeconds,
                       std::int64_t nMilliseconds)
{
    // Unsigned arithmetic: absurd inputs wrap instead of overflowing.
    std::uint64_t nValue = static_cast<std::uint64_t>(static_cast<std::int64_t>(nDays));
    nValue = nValue * 24 + static_cast<std::uint64_t>(static_cast<std::int64_t>(nHours));
    nValue = nValue * 60 + static_cast<std::uint64_t>(static_cast<std::int64_t>(nMinutes));
    nValue = nValue * 60 + static_cast<std::uint64_t>(static_cast<std::int64_t>(nSeconds));
    nValue = nValue * 1000 + static_cast<std::uint64_t>(nMilliseconds);
    m_nValue = static_cast<std::int64_t>(nValue * 10000);
}

void CmTimeStamp::SetTo(Preset ePreset)
{
    switch (ePreset) {
        case CurrentTime:
            SetCurrentTime();
            break;
        case Minimum:
            m_nValue = 0;
            break;
        case Maximum:
            m_nValue = ~std::uint64_t{0};
            break;
    }
}

bool CmClockState::CanRefine(std::uint64_t nTime) const noexcept
{
    return m_nFrequency != 0 && (nTime >> 32) <= kMaxRefinedHighPart;
}

std::uint64_t CmClockState::Refine(std::uint64_t nTime, std::int64_t nCounter)
{
    if (!CanRefine(nTime))
        return nTime;
    // Below 2^63 now, so it fits the signed arithmetic.
    auto nResult = static_cast<std::int64_t>(nTime);

    NmThread::CmCriticalSectionLock lock(m_csLock);
    // 128 bits: readings far apart must fail the windows, not wrap into them.
    const __int128 nElapsed = (static_cast<__int128>(nCounter) - m_nLastCounter) * kUnitsPerSecond / m_nFrequency;
    const __int128 nAdvance = static_cast<__int128>(nResult) - m_nLastTime;

    // The counter saw a little more time than the coarse clock shows.
    const bool bInterpolate = nElapsed >= 0 && nAdvance >= -kMaxStepBack && nAdvance <= kMaxAdvance &&
                              nElapsed <= nAdvance + kMaxDisagreement && nAdvance <= nElapsed + kMaxDisagreement &&
                              nElapsed > nAdvance;
    if (bInterpolate)
        nResult += static_cast<std::int64_t>(nElapsed - nAdvance);

    // Small steps back are flattened; real clock changes pass.
    if (nResult < m_nLastTime && static_cast<__int128>(nResult) + kMaxStepBack >= m_nLastTime)
        nResult = m_nLastTime;

    m_nLastCounter = nCounter;
    m_nLastTime = nResult;
    return static_cast<std::uint64_t>(nResult);
}

CmClockState& GetModuleClockState()
{
    // Never destroyed: a thread still reading the clock while the module
    // unloads must not meet a destroyed lock. Static storage rather than the
    // heap, so that nothing is left allocated once the module is unmapped.
    alignas(CmClockState) static unsigned char storage[sizeof(CmClockState)];
    static CmClockState& clockState = *new (storage) CmClockState(NmClock::QueryCounterFrequency());
    return clockState;
}

namespace {

boost::regex CompileAndProbe(const char* szPattern)
{
    boost::regex rxPattern(szPattern);
    // Matched once right after compiling; the outcome does not matter.
    (void)boost::regex_match("hello, world!", rxPattern);
    return rxPattern;
}

// Module-wide objects, built at load in this order: the clock state, then
// the two patterns. They live in this one unit so that the order holds.
[[maybe_unused]] CmClockState& g_ClockState = GetModuleClockState();
const boost::regex g_rxDateTimeWithOffset = CompileAndProbe(
    R"(^\s*(\d{4})\-(\d{2})\-(\d{2})[Tt](\d{2})\:(\d{2})\:(\d{2})(\.(\d+))?([\+\-])(\d{2})\:(\d{2})\s*$)");
const boost::regex g_rxDateTimeUtc =
    CompileAndProbe(R"(^\s*(\d{4})\-(\d{2})\-(\d{2})[Tt](\d{2})\:(\d{2})\:(\d{2})(\.(\d+))?[Zz]\s*$)");

}  // namespace

const boost::regex& GetDateTimeWithOffsetPattern() { return g_rxDateTimeWithOffset; }

const boost::regex& GetDateTimeUtcPattern() { return g_rxDateTimeUtc; }

}  // namespace NmTimeStamp

// NmTimeStamp: absolute UTC times in 100-ns units since 1601-01-01 (file
// time), refined by the monotonic clock, and signed time spans.
#pragma once

#include <boost/regex_fwd.hpp>

#include <cstdint>

#include "platform/Error.h"
#include "platform/Thread.h"

namespace NmTimeStamp {

// Operation code of CmTimeError.
constexpr std::uint32_t kTimeErrorSetCurrentTime = 11;

class CmTimeError final : public NmError::CmOperationError<CmTimeError> {
public:
    using CmOperationError::CmOperationError;
};

// A signed count of 100-ns units.
class CmTimeSpan {
public:
    CmTimeSpan(std::int32_t nDays, std::int32_t nHours, std::int32_t nMinutes, std::int32_t nSeconds,
               std::int64_t nMilliseconds);

    std::int64_t GetValue() const noexcept { return m_nValue; }

private:
    std::int64_t m_nValue;
};

class CmTimeStamp {
public:
    enum Preset { CurrentTime = 0, Minimum = 1, Maximum = 2 };

    // 1970-01-01T00:00:00 UTC.
    static constexpr std::uint64_t kUnixEpoch = 116444736000000000ULL;

    CmTimeStamp() = default;
    explicit CmTimeStamp(std::uint64_t nFileTime) : m_nValue(nFileTime) {}

    // CurrentTime: SetCurrentTime(); Minimum: 0; Maximum: all bits set; any
    // other value leaves the time stamp unchanged.
    void SetTo(Preset ePreset);
    // The current UTC time, refined by the module's clock state. Raises
    // CmTimeError when the system clock cannot be read.
    void SetCurrentTime();

    std::uint64_t GetValue() const noexcept { return m_nValue; }

    friend bool operator<(const CmTimeStamp& left, const CmTimeStamp& right) noexcept
    {
        return left.m_nValue < right.m_nValue;
    }
    // Wraps modulo 2^64, like the sum of the two 64-bit values.
    friend CmTimeStamp operator+(const CmTimeStamp& time, const CmTimeSpan& span) noexcept
    {
        return CmTimeStamp(time.m_nValue + static_cast<std::uint64_t>(span.GetValue()));
    }

private:
    std::uint64_t m_nValue = kUnixEpoch;
};

// The state of the clock refinement: between readings a few seconds apart,
// a coarse system clock is interpolated by a finer counter, and small steps
// back are flattened. One module-wide instance serves SetCurrentTime; tests
// construct their own and feed it readings.
class CmClockState {
public:
    // nFrequency: counter ticks per second; 0 disables the refinement.
    explicit CmClockState(std::int64_t nFrequency) : m_nFrequency(nFrequency) {}
    CmClockState(const CmClockState&) = delete;
    CmClockState& operator=(const CmClockState&) = delete;

    // Refines the system time nTime (file time) read together with the
    // counter reading nCounter, and remembers both for the next reading.
    std::uint64_t Refine(std::uint64_t nTime, std::int64_t nCounter);
    // False when Refine would return the time unchanged without looking at
    // the counter, so the counter need not be read.
    bool CanRefine(std::uint64_t nTime) const noexcept;

    std::int64_t GetFrequency() const noexcept { return m_nFrequency; }

private:
    const std::int64_t m_nFrequency;
    std::int64_t m_nLastCounter = 0;
    std::int64_t m_nLastTime = 0;
    NmThread::CmCriticalSection m_csLock;
};

// The module's clock state (frequency 10^9 on CLOCK_MONOTONIC, 0 without it).
CmClockState& GetModuleClockState();

// The two ISO 8601 date-time patterns compiled at load: with a numeric
// offset ("...+02:00") and with the UTC designator ("...Z").
const boost::regex& GetDateTimeWithOffsetPattern();
const boost::regex& GetDateTimeUtcPattern();

}  // namespace NmTimeStamp

// Time stamps, spans and the clock refinement (fed with chosen readings).
#include <ctime>
#include <limits>

#include <gtest/gtest.h>

#include "platform/TimeStamp.h"

namespace {

using NmTimeStamp::CmClockState;
using NmTimeStamp::CmTimeSpan;
using NmTimeStamp::CmTimeStamp;

constexpr std::int64_t kFrequency = 1000000000;       // counter ticks (ns) per second
constexpr std::uint64_t kT0 = 133000000000000000ULL;  // a file time in 2022
constexpr std::int64_t kC0 = 5000000000000;           // a counter reading
constexpr std::int64_t kTicksPerUnit = 100;           // counter ticks per 100-ns unit
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(ClockRefinement, SecondReadingIsInterpolatedFlattenedOrPassedAsTheWindowsSay)
{
    // (now - last) * 10^7 wraps in 64 bits for this difference, right into
    // the windows (a gain of a few units): it must fail them instead.
    const std::int64_t nWrapTicks = static_cast<std::int64_t>(kMax / 10000000 + 1 + 1000);
    const struct {
        std::int64_t nAdvance;       // of the system clock, in 100-ns units
        std::int64_t nCounterTicks;  // of the counter
        std::int64_t nExpected;      // result - kT0
        const char* szWhy;
    } cases[] = {
        {0, 50000 * kTicksPerUnit, 50000, "the clock did not tick, the counter saw 5 ms"},
        {100000000, 101000000 * kTicksPerUnit, 101000000, "10 s and a tenth more: both edges hold"},
        {200000, 150000 * kTicksPerUnit, 200000, "a clock ahead of the counter is taken"},
        {0, 1000001 * kTicksPerUnit, 0, "disagreement beyond a tenth passes the clock"},
        {100000001, 100500000 * kTicksPerUnit, 100000001, "advance beyond 10 s passes the clock"},
        {36000000000, 10000000 * kTicksPerUnit, 36000000000, "clock set forward an hour"},
        {-5000000, 10000 * kTicksPerUnit, -5000000, "clock set back 0.5 s"},
        {-500000, 0, 0, "the counter saw nothing: lifted to the last reading"},
        {-1000000, -1, 0, "counter went back, clock exactly 0.1 s back: flattened"},
        {-1000001, -2, -1000001, "just over 0.1 s back passes"},
        {0, nWrapTicks, 0, "a product that wraps fails the windows"},
    };
    for (const auto& c : cases) {
        CmClockState state(kFrequency);
        EXPECT_EQ(state.Refine(kT0, kC0), kT0) << "the first reading is the system time";
        EXPECT_EQ(state.Refine(kT0 + c.nAdvance, kC0 + c.nCounterTicks), kT0 + c.nExpected) << c.szWhy;
    }
}

TEST(ClockRefinement, FlattenedReadingsStayAtTheLastTimeAndUnrefinableOnesAreNotRemembered)
{
    CmClockState state(kFrequency);
    state.Refine(kT0, kC0);
    EXPECT_EQ(state.Refine(kT0, kC0 + 50000 * kTicksPerUnit), kT0 + 50000);
    EXPECT_EQ(state.Refine(kT0 + 10000, kC0 + 50000 * kTicksPerUnit), kT0 + 50000)
        << "clock ticked less than the counter";

    const std::uint64_t nFar = 2000000001ULL << 32;  // beyond the high-part limit
    EXPECT_FALSE(state.CanRefine(nFar));
    EXPECT_EQ(state.Refine(nFar, kC0 + 1), nFar);
    EXPECT_EQ(state.Refine(kMax, kC0 + 2), kMax);
    EXPECT_EQ(state.Refine(kT0 + 50000, kC0 + 100000 * kTicksPerUnit), kT0 + 100000)
        << "still refined against the last";

    CmClockState disabled(0);
    EXPECT_FALSE(disabled.CanRefine(kT0));
    EXPECT_EQ(disabled.Refine(kT0, kC0), kT0);
    EXPECT_EQ(disabled.Refine(kT0 - 1, kC0 + 100), kT0 - 1) << "frequency 0: not even flattened";
}

TEST(TimeStamp, PresetsOrderSpansAndSums)
{
    CmTimeStamp stamp;
    EXPECT_EQ(stamp.GetValue(), CmTimeStamp::kUnixEpoch);
    stamp.SetTo(static_cast<CmTimeStamp::Preset>(7));
    EXPECT_EQ(stamp.GetValue(), CmTimeStamp::kUnixEpoch) << "unknown presets change nothing";
    CmTimeStamp minimum, maximum;
    minimum.SetTo(CmTimeStamp::Minimum);
    maximum.SetTo(CmTimeStamp::Maximum);
    EXPECT_TRUE(minimum < stamp && stamp < maximum && !(maximum < maximum));
    EXPECT_TRUE(CmTimeStamp(0x7FFFFFFFFFFFFFFFULL) < CmTimeStamp(0x8000000000000000ULL)) << "unsigned compare";

    EXPECT_EQ(CmTimeSpan(1, 0, 0, 0, 0).GetValue(), 864000000000);
    EXPECT_EQ(CmTimeSpan(0, 1, -30, 0, 5).GetValue(), 18000050000);
    EXPECT_EQ(CmTimeSpan(0, 0, 0, 1, -1).GetValue(), 9990000);
    EXPECT_EQ((CmTimeStamp(1000) + CmTimeSpan(0, 0, 0, 0, 1)).GetValue(), 11000u);
    EXPECT_EQ((CmTimeStamp(1000) + CmTimeSpan(0, 0, 0, 0, -1)).GetValue(), static_cast<std::uint64_t>(1000 - 10000));
}

TEST(TimeStamp, CurrentTimeIsUtcAndNeverStepsBackALittle)
{
    const std::time_t nBefore = std::time(nullptr);
    CmTimeStamp previous;
    previous.SetTo(CmTimeStamp::CurrentTime);
    for (int i = 0; i < 1000; ++i) {
        CmTimeStamp current;
        current.SetCurrentTime();
        EXPECT_FALSE(current < previous && previous.GetValue() - current.GetValue() <= 1000000) << i;
        previous = current;
    }
    const auto nSeconds = static_cast<std::time_t>((previous.GetValue() - CmTimeStamp::kUnixEpoch) / 10000000);
    EXPECT_GE(nSeconds, nBefore - 1);
    EXPECT_LE(nSeconds, std::time(nullptr) + 1);
}

}  // namespace

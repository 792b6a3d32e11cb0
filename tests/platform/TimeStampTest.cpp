// Time stamps, spans, the clock refinement (fed with chosen readings) and
// the module's date-time patterns.
#include <ctime>
#include <limits>

#include <boost/regex.hpp>
#include <gtest/gtest.h>

#include "platform/TimeStamp.h"

namespace {

using NmTimeStamp::CmClockState;
using NmTimeStamp::CmTimeSpan;
using NmTimeStamp::CmTimeStamp;

constexpr std::int64_t kFrequency = 1000000000; // counter in nanoseconds
constexpr std::uint64_t kT0 = 133000000000000000ULL; // a file time in 2022
constexpr std::int64_t kC0 = 5000000000000;          // a counter reading

// 100-ns units to counter ticks and back.
constexpr std::int64_t Ticks(std::int64_t nUnits)
{
    return nUnits * 100;
}

// A clock state that has seen one reading (kT0 at kC0).
class ClockRefinement : public ::testing::Test
{
protected:
    ClockRefinement() { EXPECT_EQ(m_State.Refine(kT0, kC0), kT0) << "the first reading is the system time"; }

    // The next reading: the system clock moved by nAdvance units and the
    // counter by nCounterUnits units.
    std::uint64_t Next(std::int64_t nAdvance, std::int64_t nCounterUnits)
    {
        return m_State.Refine(kT0 + nAdvance, kC0 + Ticks(nCounterUnits));
    }

    CmClockState m_State{kFrequency};
};

TEST_F(ClockRefinement, CounterInterpolatesAClockThatLags)
{
    EXPECT_EQ(Next(0, 50000), kT0 + 50000) << "clock did not tick, counter saw 5 ms";
}

TEST_F(ClockRefinement, InterpolationWindowsAreInclusive)
{
    // +10 s by the clock, 0.1 s more by the counter: both edges hold.
    EXPECT_EQ(Next(100000000, 101000000), kT0 + 101000000);
}

TEST_F(ClockRefinement, ClockAheadOfCounterIsTaken)
{
    EXPECT_EQ(Next(200000, 150000), kT0 + 200000);
}

TEST_F(ClockRefinement, DisagreementBeyondATenthPassesTheClock)
{
    EXPECT_EQ(Next(0, 1000001), kT0);
}

TEST_F(ClockRefinement, AdvanceBeyondTenSecondsPassesTheClock)
{
    EXPECT_EQ(Next(100000001, 100500000), kT0 + 100000001);
}

TEST_F(ClockRefinement, LargeJumpsPassUnchanged)
{
    EXPECT_EQ(Next(36000000000, 10000000), kT0 + 36000000000) << "clock set forward an hour";
    CmClockState state(kFrequency);
    state.Refine(kT0, kC0);
    EXPECT_EQ(state.Refine(kT0 - 5000000, kC0 + Ticks(10000)), kT0 - 5000000) << "clock set back 0.5 s";
}

TEST_F(ClockRefinement, SmallStepBackIsFlattened)
{
    // Counter saw nothing: the interpolation lifts the reading to the last one.
    EXPECT_EQ(Next(-500000, 0), kT0);
    // A counter that went back fails the windows; the step-back rule still flattens.
    CmClockState state(kFrequency);
    state.Refine(kT0, kC0);
    EXPECT_EQ(state.Refine(kT0 - 1000000, kC0 - 1), kT0) << "exactly 0.1 s back";
    EXPECT_EQ(state.Refine(kT0 - 1000001, kC0 - 2), kT0 - 1000001) << "just over 0.1 s back passes";
}

TEST_F(ClockRefinement, FlattenedReadingsStayAtTheLastTime)
{
    const std::uint64_t nFirst = Next(0, 50000);
    EXPECT_EQ(m_State.Refine(kT0 + 10000, kC0 + Ticks(50000)), nFirst) << "clock ticked less than the counter did";
}

TEST_F(ClockRefinement, CounterProductOverflowFailsTheWindows)
{
    // (now - last) * 10^7 wraps in 64 bits; pick a difference whose wrapped
    // product would fall right into the windows (a gain of a few units).
    const std::uint64_t nWrapTicks = (std::numeric_limits<std::uint64_t>::max() / 10000000) + 1 + 1000;
    const std::uint64_t nWrapped = nWrapTicks * 10000000ULL; // modulo 2^64
    const auto nWrappedElapsed = static_cast<std::int64_t>(nWrapped) / kFrequency;
    ASSERT_GT(nWrappedElapsed, 0);
    ASSERT_LE(nWrappedElapsed, 1000000) << "a wrapping implementation would interpolate";

    EXPECT_EQ(m_State.Refine(kT0, kC0 + static_cast<std::int64_t>(nWrapTicks)), kT0);
}

TEST(ClockRefinementLimits, FrequencyZeroDisablesIt)
{
    CmClockState state(0);
    EXPECT_FALSE(state.CanRefine(kT0));
    EXPECT_EQ(state.Refine(kT0, kC0), kT0);
    EXPECT_EQ(state.Refine(kT0 - 1, kC0 + 100), kT0 - 1) << "not even flattened";
}

TEST(ClockRefinementLimits, TimesBeyondTheHighPartLimitAreLeftAlone)
{
    CmClockState state(kFrequency);
    state.Refine(kT0, kC0);
    const std::uint64_t nFar = (2000000001ULL << 32);
    EXPECT_FALSE(state.CanRefine(nFar));
    EXPECT_EQ(state.Refine(nFar, kC0 + 1), nFar);
    EXPECT_EQ(state.Refine(std::numeric_limits<std::uint64_t>::max(), kC0 + 2),
              std::numeric_limits<std::uint64_t>::max());
    // Those readings were not remembered: the next one refines against kT0.
    EXPECT_EQ(state.Refine(kT0, kC0 + Ticks(50000)), kT0 + 50000);
}

TEST(TimeStamp, DefaultPresetsAndOrder)
{
    CmTimeStamp stamp;
    EXPECT_EQ(stamp.GetValue(), 116444736000000000ULL);

    CmTimeStamp minimum;
    minimum.SetTo(CmTimeStamp::Minimum);
    EXPECT_EQ(minimum.GetValue(), 0u);

    CmTimeStamp maximum;
    maximum.SetTo(CmTimeStamp::Maximum);
    EXPECT_EQ(maximum.GetValue(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_TRUE(stamp < maximum);
    EXPECT_TRUE(minimum < stamp);
    EXPECT_FALSE(maximum < maximum);
    EXPECT_TRUE(CmTimeStamp(0x7FFFFFFFFFFFFFFFULL) < CmTimeStamp(0x8000000000000000ULL)) << "unsigned compare";

    stamp.SetTo(static_cast<CmTimeStamp::Preset>(7));
    EXPECT_EQ(stamp.GetValue(), 116444736000000000ULL) << "unknown presets change nothing";
}

TEST(TimeStamp, SpansAndSums)
{
    EXPECT_EQ(CmTimeSpan(0, 0, 0, 1, 0).GetValue(), 10000000);
    EXPECT_EQ(CmTimeSpan(1, 0, 0, 0, 0).GetValue(), 864000000000);
    EXPECT_EQ(CmTimeSpan(0, 0, 10, 0, 0).GetValue(), 6000000000);
    EXPECT_EQ(CmTimeSpan(0, 1, -30, 0, 5).GetValue(), 18000050000);
    EXPECT_EQ(CmTimeSpan(0, 0, 0, 0, -1).GetValue(), -10000);

    const CmTimeStamp stamp(1000);
    EXPECT_EQ((stamp + CmTimeSpan(0, 0, 0, 0, 1)).GetValue(), 11000u);
    EXPECT_EQ((stamp + CmTimeSpan(0, 0, 0, 0, -1)).GetValue(), static_cast<std::uint64_t>(1000 - 10000));
}

TEST(TimeStamp, CurrentTimeIsUtcAndNeverStepsBackALittle)
{
    const std::time_t nBefore = std::time(nullptr);
    CmTimeStamp previous;
    previous.SetTo(CmTimeStamp::CurrentTime);
    for (int i = 0; i < 1000; ++i) {
        CmTimeStamp current;
        current.SetCurrentTime();
        const bool bSmallStepBack = current < previous && previous.GetValue() - current.GetValue() <= 1000000;
        EXPECT_FALSE(bSmallStepBack) << i;
        previous = current;
    }
    const std::time_t nAfter = std::time(nullptr);
    const auto nSeconds = static_cast<std::time_t>(previous.GetValue() / 10000000 - 11644473600ULL);
    EXPECT_GE(nSeconds, nBefore - 1);
    EXPECT_LE(nSeconds, nAfter + 1);
}

TEST(DateTimePatterns, MatchTheirExamplesAsAWhole)
{
    const boost::regex& rxOffset = NmTimeStamp::GetDateTimeWithOffsetPattern();
    const boost::regex& rxUtc = NmTimeStamp::GetDateTimeUtcPattern();

    boost::smatch groups;
    const std::string strOffset = " 2013-05-07T12:30:45.123+02:00\t";
    ASSERT_TRUE(boost::regex_match(strOffset, groups, rxOffset));
    EXPECT_EQ(groups[1], "2013");
    EXPECT_EQ(groups[2], "05");
    EXPECT_EQ(groups[3], "07");
    EXPECT_EQ(groups[4], "12");
    EXPECT_EQ(groups[5], "30");
    EXPECT_EQ(groups[6], "45");
    EXPECT_EQ(groups[7], ".123");
    EXPECT_EQ(groups[8], "123");
    EXPECT_EQ(groups[9], "+");
    EXPECT_EQ(groups[10], "02");
    EXPECT_EQ(groups[11], "00");

    EXPECT_TRUE(boost::regex_match("2013-05-07t12:30:45-11:30", rxOffset));
    EXPECT_TRUE(boost::regex_match("2013-05-07t12:30:45Z", rxUtc));
    EXPECT_TRUE(boost::regex_match("  2013-05-07T12:30:45.5z ", rxUtc));
}

TEST(DateTimePatterns, RejectOtherTexts)
{
    const boost::regex& rxOffset = NmTimeStamp::GetDateTimeWithOffsetPattern();
    const boost::regex& rxUtc = NmTimeStamp::GetDateTimeUtcPattern();
    for (const char* szText : {"2013-05-07T12:30:45", "hello, world!", "2013-05-07 12:30:45Z", "13-05-07T12:30:45Z",
                               "2013-05-07T12:30:45.Z", "2013-05-07T12:30:45+0200"}) {
        EXPECT_FALSE(boost::regex_match(szText, rxOffset)) << szText;
        EXPECT_FALSE(boost::regex_match(szText, rxUtc)) << szText;
    }
    EXPECT_FALSE(boost::regex_match("2013-05-07T12:30:45Z", rxOffset));
    EXPECT_FALSE(boost::regex_match("2013-05-07T12:30:45+02:00", rxUtc));
}

} // namespace

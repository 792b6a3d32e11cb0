// Clock readings of the time-stamp module (posix layer).
#pragma once

#include <cstdint>
#include <optional>

namespace NmTimeStamp::NmClock {

// Counter ticks per second: 10^9 when CLOCK_MONOTONIC is usable, else 0.
std::int64_t QueryCounterFrequency() noexcept;
// CLOCK_MONOTONIC in nanoseconds; nothing when it cannot be read.
std::optional<std::int64_t> QueryCounter() noexcept;

}  // namespace NmTimeStamp::NmClock

// A monotonic millisecond clock that does not wrap, and a sleep.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start; never goes backwards, never wraps.
std::uint64_t TickMs();

// Microsecond resolution of the same clock (TickMs() is TickUs() / 1000), for
// measurements.
std::uint64_t TickUs();

// Sleep at least this long (longer when the system is busy). SleepUs wakes
// within microseconds of its time on an idle system; SleepMs may be later by
// the system's timer granularity.
void SleepMs(unsigned ms);
void SleepUs(unsigned us);

}  // namespace platform

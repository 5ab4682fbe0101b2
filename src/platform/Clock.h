// A monotonic millisecond clock that does not wrap, and a sleep.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since an arbitrary start; never goes backwards, never wraps.
std::uint64_t TickMs();

// Microsecond resolution of the same clock, for measurements.
std::uint64_t TickUs();

void SleepMs(unsigned ms);
void SleepUs(unsigned us);

}  // namespace platform

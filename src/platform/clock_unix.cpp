#include <time.h>

#include <cerrno>

#include "platform/Clock.h"

namespace platform {

std::uint64_t TickUs() {
    timespec ts;
    // CLOCK_MONOTONIC cannot fail with a valid clock id; it does not jump with
    // the wall clock and a 64-bit count of it does not wrap.
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

std::uint64_t TickMs() {
    return TickUs() / 1000u;
}

void SleepMs(unsigned ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void SleepUs(unsigned us) {
    timespec ts{static_cast<time_t>(us / 1000000u), static_cast<long>(us % 1000000u) * 1000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace platform

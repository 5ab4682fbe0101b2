#include <sys/prctl.h>
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
    // Linux lets a sleeping thread wake up to its timer slack late, 50 us by
    // default, to bundle wake-ups; a reading loop that pauses 1 ms would lose
    // that at every reading. One microsecond, for each thread that sleeps here.
    static thread_local const bool tight = ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    static_cast<void>(tight);
    timespec ts{static_cast<time_t>(us / 1000000u), static_cast<long>(us % 1000000u) * 1000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace platform

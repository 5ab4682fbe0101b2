// The clock on Windows. Built only on Windows.
#include <windows.h>

#include "platform/Clock.h"

// Missing from older compiler headers. A Windows that predates the flag
// refuses it, and SleepUs falls back to Sleep.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace platform {

std::uint64_t TickUs() {
    LARGE_INTEGER f, c;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&c);
    return static_cast<std::uint64_t>(c.QuadPart / f.QuadPart * 1000000 +
                                      c.QuadPart % f.QuadPart * 1000000 / f.QuadPart);
}

// The performance counter does not wrap, and TickMs and TickUs read one clock,
// as the header promises (GetTickCount64 counts from another start, in steps
// of the timer resolution, 15.6 ms by default).
std::uint64_t TickMs() {
    return TickUs() / 1000u;
}

void SleepMs(unsigned ms) {
    ::Sleep(ms);
}

// Sleep() counts whole milliseconds and, at the default timer resolution,
// rounds up to the next 15.6 ms tick. A high-resolution waitable timer
// (Windows 10 1803 and later) wakes within the millisecond without raising the
// whole system's timer resolution.
void SleepUs(unsigned us) {
    HANDLE timer = ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                            TIMER_ALL_ACCESS);
    if (timer) {
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(us) * 10;  // relative, in 100 ns
        const bool waited = ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
                            ::WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
        ::CloseHandle(timer);
        if (waited) return;
    }
    ::Sleep((us + 999u) / 1000u);
}

}  // namespace platform

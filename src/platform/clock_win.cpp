// The clock on Windows. Built only on Windows.
#include <windows.h>

#include "platform/Clock.h"

namespace platform {

std::uint64_t TickUs() {
    LARGE_INTEGER f, c;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&c);
    return static_cast<std::uint64_t>(c.QuadPart / f.QuadPart * 1000000 +
                                      c.QuadPart % f.QuadPart * 1000000 / f.QuadPart);
}

// GetTickCount64 does not wrap, unlike the 32-bit GetTickCount.
std::uint64_t TickMs() {
    return ::GetTickCount64();
}

void SleepMs(unsigned ms) {
    ::Sleep(ms);
}

}  // namespace platform

// Windows serial port over the communications API. Built only on Windows.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/SerialPort.h"

static_assert(sizeof(DCB) <= sizeof(platform::LineSettings::native),
              "LineSettings::native must hold a DCB");

namespace platform {
namespace {

thread_local int t_lastError = 0;

HANDLE handleOf(PortHandle port) {
    return reinterpret_cast<HANDLE>(port);
}

bool fail() {
    t_lastError = static_cast<int>(::GetLastError());
    return false;
}

}  // namespace

int LastError() {
    return t_lastError;
}

std::string DevicePathForPort(int portNumber) {
    if (portNumber < 0) return {};
    return "\\\\.\\COM" + std::to_string(portNumber);
}

PortHandle OpenPort(int portNumber) {
    const std::string path = DevicePathForPort(portNumber);
    if (path.empty()) {
        t_lastError = ERROR_FILE_NOT_FOUND;
        return InvalidHandle;
    }
    const std::wstring wide(path.begin(), path.end());
    // Share mode 0: the port is ours alone while it is open.
    HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        fail();
        return InvalidHandle;
    }
    // Reads return at once with what is queued; the transaction waits itself.
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    if (!::SetCommTimeouts(h, &t)) {
        fail();
        ::CloseHandle(h);
        return InvalidHandle;
    }
    return reinterpret_cast<PortHandle>(h);
}

bool GetLineSettings(PortHandle port, LineSettings& out) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(handleOf(port), &dcb)) return fail();
    out = LineSettings{};
    std::memcpy(out.native, &dcb, sizeof dcb);
    out.BaudRate = dcb.BaudRate;
    out.ByteSize = dcb.ByteSize;
    out.Parity = dcb.Parity == ODDPARITY    ? Parity::Odd
                 : dcb.Parity == EVENPARITY ? Parity::Even
                                            : Parity::None;
    out.StopBits = dcb.StopBits == TWOSTOPBITS ? StopBits::Two : StopBits::One;
    return true;
}

bool SetLineSettings(PortHandle port, const LineSettings& settings) {
    DCB dcb;
    std::memcpy(&dcb, settings.native, sizeof dcb);
    dcb.BaudRate = settings.BaudRate;
    dcb.ByteSize = settings.ByteSize;
    dcb.Parity = settings.Parity == Parity::Odd    ? ODDPARITY
                 : settings.Parity == Parity::Even ? EVENPARITY
                                                   : NOPARITY;
    dcb.StopBits = settings.StopBits == StopBits::Two ? TWOSTOPBITS : ONESTOPBIT;
    if (!::SetCommState(handleOf(port), &dcb)) return fail();
    return true;
}

bool WriteBytes(PortHandle port, const char* data, std::size_t size) {
    DWORD written = 0;
    if (!::WriteFile(handleOf(port), data, static_cast<DWORD>(size), &written, nullptr))
        return fail();
    return true;
}

long QueuedBytes(PortHandle port) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!::ClearCommError(handleOf(port), &errors, &stat)) {
        fail();
        return -1;
    }
    return static_cast<long>(stat.cbInQue);
}

long ReadBytes(PortHandle port, char* data, std::size_t size) {
    DWORD got = 0;
    if (!::ReadFile(handleOf(port), data, static_cast<DWORD>(size), &got, nullptr)) {
        fail();
        return -1;
    }
    return static_cast<long>(got);
}

WaitResult WaitReadable(PortHandle port, int timeoutMs) {
    // Synchronous handles cannot wait on the receive event with a time-out;
    // look at the queue once a millisecond instead of spinning.
    const ULONGLONG end =
        ::GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        const long n = QueuedBytes(port);
        if (n < 0) return WaitResult::Hangup;
        if (n > 0) return WaitResult::Readable;
        if (::GetTickCount64() >= end) return WaitResult::TimedOut;
        ::Sleep(1);
    }
}

void ClosePort(PortHandle port) {
    if (port == InvalidHandle) return;
    ::CloseHandle(handleOf(port));
}

}  // namespace platform

// Windows serial port over the communications API. Built only on Windows.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/Clock.h"
#include "platform/SerialPort.h"

static_assert(sizeof(DCB) <= sizeof(platform::LineSettings::native),
              "LineSettings::native must hold a DCB");

namespace platform {
namespace {

using detail::RecordError;

// The same limit as on POSIX: a write that the port does not take within a
// second has failed (a device that holds its flow control off for ever would
// otherwise hang the program in WriteFile).
constexpr DWORD kWriteTimeoutMs = 1000;

HANDLE handleOf(PortHandle port) {
    return reinterpret_cast<HANDLE>(port);
}

bool fail() {
    RecordError(static_cast<int>(::GetLastError()));
    return false;
}

bool failWith(DWORD code) {
    RecordError(static_cast<int>(code));
    return false;
}

// InvalidHandle is INVALID_HANDLE_VALUE, which the API also takes for the
// current process: refuse it here instead of passing it on.
bool isValid(PortHandle port) {
    return port != InvalidHandle && port != 0;
}

}  // namespace

std::string DevicePathForPort(int portNumber) {
    if (portNumber < 0) return {};
    return "\\\\.\\COM" + std::to_string(portNumber);
}

PortHandle OpenPort(int portNumber) {
    const std::string path = DevicePathForPort(portNumber);
    if (path.empty()) {
        failWith(ERROR_FILE_NOT_FOUND);
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
    t.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    if (!::SetCommTimeouts(h, &t)) {
        fail();
        ::CloseHandle(h);
        return InvalidHandle;
    }
    return reinterpret_cast<PortHandle>(h);
}

bool GetLineSettings(PortHandle port, LineSettings& out) {
    if (!isValid(port)) return failWith(ERROR_INVALID_HANDLE);
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
    if (!isValid(port)) return failWith(ERROR_INVALID_HANDLE);
    // The same values are refused on every platform, before the port is touched.
    if (settings.BaudRate == 0 || settings.ByteSize < 5 || settings.ByteSize > 8)
        return failWith(ERROR_INVALID_PARAMETER);
    DCB dcb;
    std::memcpy(&dcb, settings.native, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = settings.BaudRate;
    dcb.ByteSize = settings.ByteSize;
    switch (settings.Parity) {
        case Parity::None:
            dcb.Parity = NOPARITY;
            break;
        case Parity::Odd:
            dcb.Parity = ODDPARITY;
            break;
        case Parity::Even:
            dcb.Parity = EVENPARITY;
            break;
        default:
            return failWith(ERROR_INVALID_PARAMETER);
    }
    switch (settings.StopBits) {
        case StopBits::One:
            dcb.StopBits = ONESTOPBIT;
            break;
        case StopBits::Two:
            dcb.StopBits = TWOSTOPBITS;
            break;
        default:
            return failWith(ERROR_INVALID_PARAMETER);
    }
    // SetCommState applies the record in several steps and stops at the first
    // the driver refuses, so a failure can leave half of it applied. Put the
    // port back as it was: the caller closes a port whose settings failed
    // without restoring them itself.
    DCB before{};
    before.DCBlength = sizeof before;
    const bool haveBefore = ::GetCommState(handleOf(port), &before) != 0;
    if (!::SetCommState(handleOf(port), &dcb)) {
        fail();
        if (haveBefore) ::SetCommState(handleOf(port), &before);
        return false;
    }
    return true;
}

bool WriteBytes(PortHandle port, const char* data, std::size_t size) {
    if (!isValid(port)) return failWith(ERROR_INVALID_HANDLE);
    if (size > MAXDWORD) return failWith(ERROR_INVALID_PARAMETER);
    DWORD written = 0;
    if (!::WriteFile(handleOf(port), data, static_cast<DWORD>(size), &written, nullptr))
        return fail();
    // A write time-out is reported as success with fewer bytes written.
    if (written != size) return failWith(ERROR_TIMEOUT);
    return true;
}

long QueuedBytes(PortHandle port) {
    if (!isValid(port)) {
        failWith(ERROR_INVALID_HANDLE);
        return -1;
    }
    DWORD errors = 0;
    COMSTAT stat{};
    if (!::ClearCommError(handleOf(port), &errors, &stat)) {
        fail();
        return -1;
    }
    return static_cast<long>(stat.cbInQue);
}

long ReadBytes(PortHandle port, char* data, std::size_t size) {
    if (!isValid(port)) {
        failWith(ERROR_INVALID_HANDLE);
        return -1;
    }
    // Only queued bytes are asked for, and a read never returns more than a
    // long can count.
    const DWORD ask = static_cast<DWORD>(size < 0x7fffffffu ? size : 0x7fffffffu);
    DWORD got = 0;
    if (!::ReadFile(handleOf(port), data, ask, &got, nullptr)) {
        fail();
        return -1;
    }
    return static_cast<long>(got);
}

WaitResult WaitReadable(PortHandle port, int timeoutMs) {
    if (!isValid(port)) {
        failWith(ERROR_INVALID_HANDLE);
        return WaitResult::Error;
    }
    // A synchronous handle cannot wait for the receive event with a time-out,
    // and a read that waits would take the byte it waited for. Look at the
    // queue once a millisecond instead, sleeping in between.
    const std::uint64_t end = TickMs() + static_cast<std::uint64_t>(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        const long n = QueuedBytes(port);
        if (n < 0) {
            // A handle that was never valid (or was closed) is the caller's
            // error; anything else means the device has gone (an unplugged USB
            // port answers with one of several codes, depending on its driver).
            return LastError() == ERROR_INVALID_HANDLE ? WaitResult::Error : WaitResult::Hangup;
        }
        if (n > 0) return WaitResult::Readable;
        if (TickMs() >= end) return WaitResult::TimedOut;
        SleepUs(1000);
    }
}

void ClosePort(PortHandle port) {
    if (!isValid(port)) return;
    ::CloseHandle(handleOf(port));
}

OpenError ClassifyOpenError(int systemError) {
    switch (static_cast<DWORD>(systemError)) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DEV_NOT_EXIST:
            return OpenError::NotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return OpenError::InUse;
        default:
            return OpenError::Other;
    }
}

std::string DeviceGroupForPort(int) {
    return {};
}

}  // namespace platform

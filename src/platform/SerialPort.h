// The serial port as the rest of the program sees it: a flat API over one
// handle value. Everything above this header is identical on every platform;
// the per-OS files behind it are the only code that makes system calls.
//
// Errors: every call that can fail returns false (or -1) and leaves the
// system's own error code in LastError() (Error.h), the way the program's
// serial transaction expects to fetch it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/Error.h"

namespace platform {

// An open port, or InvalidHandle. Pointer-sized so a Windows HANDLE fits.
using PortHandle = std::uintptr_t;
inline constexpr PortHandle InvalidHandle = ~PortHandle(0);

enum class Parity : std::uint8_t { None, Odd, Even };
enum class StopBits : std::uint8_t { One, Two };

// The line settings of an open port. The program changes only the four named
// fields; `native` carries everything else (flow control, special characters)
// so that putting a saved copy back restores the port exactly.
struct LineSettings {
    std::uint32_t BaudRate = 0;
    std::uint8_t ByteSize = 8;
    platform::Parity Parity = platform::Parity::None;
    platform::StopBits StopBits = platform::StopBits::One;
    unsigned char native[128] = {};
};

// Opens the port named "COM<n>" for reading and writing, exclusively: a second
// open of the same port, by this or another process, fails while we hold it.
// The port is put in raw mode (see the implementation for why).
PortHandle OpenPort(int portNumber);

// The device path that OpenPort(portNumber) opens; empty if none is known.
std::string DevicePathForPort(int portNumber);

bool GetLineSettings(PortHandle port, LineSettings& out);
bool SetLineSettings(PortHandle port, const LineSettings& settings);

// Writes all `size` bytes (size 0 is one call that writes nothing).
bool WriteBytes(PortHandle port, const char* data, std::size_t size);

// Number of received bytes queued in the driver, or -1 on error.
long QueuedBytes(PortHandle port);

// Reads up to `size` already queued bytes without waiting; returns the count
// read or -1 on error.
long ReadBytes(PortHandle port, char* data, std::size_t size);

// What a wait on the port saw.
enum class WaitResult {
    Readable,  // bytes are queued
    TimedOut,  // nothing arrived within the time
    Hangup,    // the other end has gone: no byte will ever arrive
    Error,     // the wait itself failed; LastError() says why
};

// Blocks until a byte is queued, the other end hangs up, or `timeoutMs`
// passes. Never spins: a port that has hung up reports Hangup at once.
WaitResult WaitReadable(PortHandle port, int timeoutMs);

// Closes the port. Closing InvalidHandle does nothing.
void ClosePort(PortHandle port);

// Calls on InvalidHandle or on a closed handle fail with EBADF (POSIX) or
// ERROR_INVALID_HANDLE (Windows); line settings out of range fail with EINVAL
// or ERROR_INVALID_PARAMETER and leave the port as it was.

// The one owner of an open port: it closes the port when it goes, when it is
// closed, and when another port is put in its place. Move-only, so a port is
// never closed twice or left open by a copy that was forgotten.
class OwnedPort {
public:
    OwnedPort() = default;
    explicit OwnedPort(PortHandle port) : port_(port) {}
    ~OwnedPort() { Close(); }
    OwnedPort(OwnedPort&& other) noexcept : port_(std::exchange(other.port_, InvalidHandle)) {}
    OwnedPort& operator=(OwnedPort&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.port_, InvalidHandle));
        return *this;
    }
    OwnedPort(const OwnedPort&) = delete;
    OwnedPort& operator=(const OwnedPort&) = delete;

    PortHandle Get() const { return port_; }
    bool IsOpen() const { return port_ != InvalidHandle; }
    // Closes the port held, if any, and holds `port` from now on.
    void Reset(PortHandle port) {
        if (port_ != InvalidHandle && port_ != port) ClosePort(port_);
        port_ = port;
    }
    void Close() { Reset(InvalidHandle); }

    friend bool operator==(const OwnedPort& a, PortHandle b) { return a.port_ == b; }

private:
    PortHandle port_ = InvalidHandle;
};

// Why OpenPort failed, so that the program can tell the user what to do.
enum class OpenError {
    NotFound,      // no such port, or its device has gone
    AccessDenied,  // the user may not open the device (POSIX: not in its group)
    InUse,         // another program, or this one, holds the port
    Other,         // anything else; the code itself says what
};

// Classifies the LastError() that a failed OpenPort left.
//   POSIX: ENOENT, ENODEV, ENXIO -> NotFound; EACCES, EPERM -> AccessDenied;
//          EBUSY (the port is locked by its holder) -> InUse.
//   Windows: ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_DEV_NOT_EXIST ->
//          NotFound; ERROR_ACCESS_DENIED and ERROR_SHARING_VIOLATION -> InUse,
//          because a COM port has no per-user permission in practice: the
//          driver refuses a second open that way.
OpenError ClassifyOpenError(int systemError);

// The name of the group that owns the device OpenPort(portNumber) opens (the
// link followed), for telling the user which group to join. Empty when it is
// not known, and always on Windows.
std::string DeviceGroupForPort(int portNumber);

}  // namespace platform

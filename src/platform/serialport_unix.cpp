// POSIX serial port over termios.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Clock.h"
#include "platform/SerialPort.h"

static_assert(sizeof(termios) <= sizeof(platform::LineSettings::native),
              "LineSettings::native must hold a termios");

namespace platform {
namespace {

using detail::RecordError;

bool fail() {
    RecordError(errno);
    return false;
}

bool isValid(PortHandle port) {
    return port != InvalidHandle && port <= 0x7fffffff;
}

// The descriptor of an open port, or -1 with EBADF for a handle that cannot
// be one: the one place where every call checks the handle it was given.
int fdOf(PortHandle port) {
    if (isValid(port)) return static_cast<int>(port);
    RecordError(EBADF);
    return -1;
}

struct SpeedName {
    speed_t code;
    std::uint32_t baud;
};
constexpr SpeedName kSpeeds[] = {
    {B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},
    {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
    {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
};

std::uint32_t baudOf(speed_t code) {
    for (const auto& s : kSpeeds)
        if (s.code == code) return s.baud;
    return 0;
}

bool codeOf(std::uint32_t baud, speed_t& code) {
    for (const auto& s : kSpeeds)
        if (s.baud == baud) {
            code = s.code;
            return true;
        }
    return false;
}

}  // namespace

std::string DevicePathForPort(int portNumber) {
    if (portNumber < 0) return {};
    if (const char* dir = std::getenv("K740_SERIALCOMM_DIR"); dir && *dir) {
        std::string link = std::string(dir) + "/COM" + std::to_string(portNumber);
        struct stat st;
        if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return link;
    }
    if (portNumber >= 1) {
        std::string tty = "ttyACM" + std::to_string(portNumber - 1);
        struct stat st;
        if (::stat(("/sys/class/tty/" + tty).c_str(), &st) == 0) return "/dev/" + tty;
    }
    return {};
}

PortHandle OpenPort(int portNumber) {
    const std::string path = DevicePathForPort(portNumber);
    if (path.empty()) {
        RecordError(ENOENT);
        return InvalidHandle;
    }
    // Non-blocking so that open never waits for carrier and reads only take
    // what is already queued; the transaction does its own waiting.
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail();
        return InvalidHandle;
    }
    auto closeWith = [fd](int err) {
        ::close(fd);
        RecordError(err);
        return InvalidHandle;
    };
    if (!::isatty(fd)) return closeWith(ENOTTY);
    // TIOCEXCL keeps other users out, but not root; the flock keeps out
    // everyone who asks for it, root included, and goes away with the fd.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return closeWith(errno == EWOULDBLOCK ? EBUSY : errno);
    if (::ioctl(fd, TIOCEXCL) != 0) return closeWith(errno);

    // Raw mode: a tty by default turns CR into LF, echoes what it receives and
    // holds bytes back until a line end. Each of these would break the reply
    // framing, which completes on a CR or on a byte count.
    termios tio;
    if (::tcgetattr(fd, &tio) != 0) return closeWith(errno);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return closeWith(errno);
    return static_cast<PortHandle>(fd);
}

bool GetLineSettings(PortHandle port, LineSettings& out) {
    const int fd = fdOf(port);
    if (fd < 0) return false;
    // Zeroed first: tcgetattr fills the fields, not the padding between
    // them, and a saved copy must compare equal to the same settings read
    // again.
    termios tio;
    std::memset(&tio, 0, sizeof tio);
    if (::tcgetattr(fd, &tio) != 0) return fail();
    out = LineSettings{};
    std::memcpy(out.native, &tio, sizeof tio);
    out.BaudRate = baudOf(::cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            out.ByteSize = 5;
            break;
        case CS6:
            out.ByteSize = 6;
            break;
        case CS7:
            out.ByteSize = 7;
            break;
        default:
            out.ByteSize = 8;
            break;
    }
    out.Parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? Parity::Odd : Parity::Even)
                                        : Parity::None;
    out.StopBits = (tio.c_cflag & CSTOPB) ? StopBits::Two : StopBits::One;
    return true;
}

bool SetLineSettings(PortHandle port, const LineSettings& settings) {
    const int fd = fdOf(port);
    if (fd < 0) return false;
    termios tio;
    std::memcpy(&tio, settings.native, sizeof tio);
    speed_t code;
    if (!codeOf(settings.BaudRate, code)) {
        RecordError(EINVAL);
        return false;
    }
    if (::cfsetispeed(&tio, code) != 0 || ::cfsetospeed(&tio, code) != 0) return fail();
    tio.c_cflag &= ~CSIZE;
    switch (settings.ByteSize) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        case 8:
            tio.c_cflag |= CS8;
            break;
        default:
            RecordError(EINVAL);
            return false;
    }
    tio.c_cflag &= ~(PARENB | PARODD);
    switch (settings.Parity) {
        case Parity::None:
            break;
        case Parity::Odd:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case Parity::Even:
            tio.c_cflag |= PARENB;
            break;
        default:
            RecordError(EINVAL);
            return false;
    }
    switch (settings.StopBits) {
        case StopBits::One:
            tio.c_cflag &= ~CSTOPB;
            break;
        case StopBits::Two:
            tio.c_cflag |= CSTOPB;
            break;
        default:
            RecordError(EINVAL);
            return false;
    }
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) return fail();
    return true;
}

bool WriteBytes(PortHandle port, const char* data, std::size_t size) {
    const int fd = fdOf(port);
    if (fd < 0) return false;
    if (size == 0) {
        // One call that writes nothing still reports a port that has gone.
        if (::write(fd, data, 0) < 0) return fail();
        return true;
    }
    std::size_t done = 0;
    const std::uint64_t deadline = TickMs() + 1000;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return fail();
        // The output queue is full: wait for room, but not for ever.
        const std::uint64_t now = TickMs();
        if (now >= deadline) {
            RecordError(ETIMEDOUT);
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(deadline - now)) < 0 && errno != EINTR) return fail();
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            RecordError(EIO);
            return false;
        }
    }
    return true;
}

long QueuedBytes(PortHandle port) {
    const int fd = fdOf(port);
    if (fd < 0) return -1;
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) {
        fail();
        return -1;
    }
    return n;
}

long ReadBytes(PortHandle port, char* data, std::size_t size) {
    const int fd = fdOf(port);
    if (fd < 0) return -1;
    for (;;) {
        ssize_t n = ::read(fd, data, size);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return 0;
        fail();
        return -1;
    }
}

WaitResult WaitReadable(PortHandle port, int timeoutMs) {
    const int fd = fdOf(port);
    if (fd < 0) return WaitResult::Error;
    if (timeoutMs < 0) timeoutMs = 0;
    const std::uint64_t deadline = TickMs() + static_cast<unsigned>(timeoutMs);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const std::uint64_t now = TickMs();
        const int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
        int r = ::poll(&p, 1, left);
        if (r < 0) {
            if (errno == EINTR) continue;
            fail();
            return WaitResult::Error;
        }
        if (r == 0) return WaitResult::TimedOut;
        if (p.revents & POLLNVAL) {
            RecordError(EBADF);
            return WaitResult::Error;
        }
        if (p.revents & (POLLHUP | POLLERR)) {
            // The other end has gone (a pty whose master closed, an unplugged
            // USB device). A hung-up tty also reports POLLIN with nothing to
            // read, and poll says so again at once: waiting on would spin
            // until the time-out. Only bytes still queued count as readable.
            int queued = 0;
            if (::ioctl(fd, FIONREAD, &queued) == 0 && queued > 0) return WaitResult::Readable;
            RecordError(EIO);
            return WaitResult::Hangup;
        }
        return WaitResult::Readable;
    }
}

OpenError ClassifyOpenError(int systemError) {
    switch (systemError) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return OpenError::NotFound;
        case EACCES:
        case EPERM:
            return OpenError::AccessDenied;
        case EBUSY:
            return OpenError::InUse;
        default:
            return OpenError::Other;
    }
}

std::string DeviceGroupForPort(int portNumber) {
    const std::string path = DevicePathForPort(portNumber);
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return {};
    // The group database may be large (or remote); grow the buffer as asked.
    std::vector<char> buf(1024);
    for (;;) {
        group gr;
        group* found = nullptr;
        const int err = ::getgrgid_r(st.st_gid, &gr, buf.data(), buf.size(), &found);
        if (err == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        return err == 0 && found && found->gr_name ? std::string(found->gr_name) : std::string();
    }
}

void ClosePort(PortHandle port) {
    if (!isValid(port)) return;
    const int fd = static_cast<int>(port);
    // The exclusive flag belongs to the tty, not to our descriptor: on a
    // device that someone else keeps open (a pty) it would outlive our close
    // and lock every later open out, ours included.
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

}  // namespace platform

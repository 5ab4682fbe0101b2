// The console on POSIX systems.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/Console.h"
#include "platform/Error.h"

namespace platform {

bool StderrIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

bool StandardOutputOpen() {
    const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
    return flags != -1 && (flags & O_ACCMODE) != O_RDONLY;
}

void IgnoreBrokenPipe() {
    ::signal(SIGPIPE, SIG_IGN);
}

OutputResult WriteStandardOutput(const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(STDOUT_FILENO, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            // A pipe left non-blocking by whoever shares it: wait for room
            // instead of spinning.
            pollfd p{STDOUT_FILENO, POLLOUT, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) break;
            continue;
        }
        if (n < 0 && errno == EPIPE) return OutputResult::ReaderGone;
        if (n == 0) errno = EIO;  // a write that takes nothing would never end
        break;
    }
    if (done == size) return OutputResult::Written;
    detail::RecordError(errno);
    return OutputResult::Failed;
}

}  // namespace platform

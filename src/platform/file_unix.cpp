// Files on POSIX systems.
#include <unistd.h>

#include <cerrno>

#include "platform/Error.h"
#include "platform/File.h"

namespace platform {

bool SyncFile(int descriptor) {
    if (descriptor < 0) {
        detail::RecordError(EBADF);
        return false;
    }
    // The data and the size it needs to be read back; not the time stamps,
    // which would cost a second write to the disk for nothing a reader needs.
    for (;;) {
        if (::fdatasync(descriptor) == 0) return true;
        if (errno != EINTR) break;
    }
    detail::RecordError(errno);
    return false;
}

}  // namespace platform

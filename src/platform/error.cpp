// Where the layer keeps the last error, the same on every system: only the
// codes and their texts differ (error_unix.cpp, error_win.cpp).
#include "platform/Error.h"

namespace platform {
namespace {

// Per thread, as errno and GetLastError() are: a call that fails on one
// thread never changes what another thread reads.
thread_local int t_lastError = 0;

}  // namespace

int LastError() {
    return t_lastError;
}

namespace detail {

void RecordError(int systemError) {
    t_lastError = systemError;
}

}  // namespace detail

}  // namespace platform

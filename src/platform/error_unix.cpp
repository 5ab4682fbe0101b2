// The layer's last error on POSIX systems: errno values.
#include <system_error>

#include "platform/Error.h"

namespace platform {
namespace {

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

std::string ErrorText(int systemError) {
    return std::generic_category().message(systemError);
}

}  // namespace platform

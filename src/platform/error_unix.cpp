// The layer's error texts on POSIX systems: errno values.
#include <system_error>

#include "platform/Error.h"

namespace platform {

std::string ErrorText(int systemError) {
    return std::generic_category().message(systemError);
}

}  // namespace platform

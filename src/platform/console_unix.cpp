// The console on POSIX systems.
#include <unistd.h>

#include "platform/Console.h"

namespace platform {

bool StderrIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace platform

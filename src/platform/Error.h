// How the platform layer reports a failure: the call returns false (or -1)
// and leaves the system's own error code for LastError(). Codes are errno
// values on POSIX and GetLastError() values on Windows; the program only
// negates and shows them, so their meaning stays the operating system's.
#pragma once

#include <string>

namespace platform {

// The system error code of the last failed call of this layer on this thread.
int LastError();

// The system's own words for an error code, for a message to the user.
std::string ErrorText(int systemError);

namespace detail {
// Where every file of the layer leaves its code; LastError() reads it.
void RecordError(int systemError);
}  // namespace detail

}  // namespace platform

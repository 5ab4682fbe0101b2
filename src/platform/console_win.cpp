// The console on Windows. Built only on Windows.
#include <windows.h>

#include "platform/Console.h"

namespace platform {

bool StderrIsTerminal() {
    return ::GetFileType(::GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
}

}  // namespace platform

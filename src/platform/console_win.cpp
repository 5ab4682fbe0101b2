// The console on Windows. Built only on Windows.
#include <windows.h>

#include "platform/Console.h"
#include "platform/Error.h"

namespace platform {

bool StderrIsTerminal() {
    return ::GetFileType(::GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
}

bool StandardOutputOpen() {
    const HANDLE h = ::GetStdHandle(STD_OUTPUT_HANDLE);
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

void IgnoreBrokenPipe() {}

OutputResult WriteStandardOutput(const char* data, std::size_t size) {
    const HANDLE h = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        detail::RecordError(ERROR_INVALID_HANDLE);
        return OutputResult::Failed;
    }
    std::size_t done = 0;
    while (done < size) {
        const DWORD ask = static_cast<DWORD>(size - done < MAXDWORD ? size - done : MAXDWORD);
        DWORD written = 0;
        if (!::WriteFile(h, data + done, ask, &written, nullptr)) {
            const DWORD err = ::GetLastError();
            // A pipe whose reading end has been closed.
            if (err == ERROR_NO_DATA || err == ERROR_BROKEN_PIPE) return OutputResult::ReaderGone;
            detail::RecordError(static_cast<int>(err));
            return OutputResult::Failed;
        }
        if (written == 0) {
            detail::RecordError(ERROR_WRITE_FAULT);
            return OutputResult::Failed;
        }
        done += written;
    }
    return OutputResult::Written;
}

}  // namespace platform

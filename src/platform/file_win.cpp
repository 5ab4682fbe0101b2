// Files on Windows. Built only on Windows.
#include <io.h>
#include <windows.h>

#include "platform/Error.h"
#include "platform/File.h"

namespace platform {

bool SyncFile(int descriptor) {
    // The C runtime hands a descriptor it does not know to its invalid-
    // parameter handler, which ends the program: only descriptors that can be
    // open go to it, and the caller passes only those it holds open.
    if (descriptor < 0) {
        detail::RecordError(ERROR_INVALID_HANDLE);
        return false;
    }
    const HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor));
    if (h == INVALID_HANDLE_VALUE) {
        detail::RecordError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (::FlushFileBuffers(h)) return true;
    detail::RecordError(static_cast<int>(::GetLastError()));
    return false;
}

}  // namespace platform

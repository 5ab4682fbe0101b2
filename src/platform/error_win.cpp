// The layer's error texts on Windows: GetLastError() values. Built only on
// Windows.
#include <windows.h>

#include "platform/Error.h"

namespace platform {

std::string ErrorText(int systemError) {
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(systemError), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n > 0 && text ? std::string(text, n) : std::string();
    if (text) ::LocalFree(text);
    // The system's texts end with a line break and often a full stop.
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
        out.pop_back();
    if (out.empty()) out = "error " + std::to_string(systemError);
    return out;
}

}  // namespace platform

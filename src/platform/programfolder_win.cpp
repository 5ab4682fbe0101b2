// Installed program folders on Windows. Built only on Windows.
#include <windows.h>
// After windows.h, which they need.
#include <knownfolders.h>
#include <shlobj.h>

#include <string>

#include "platform/ProgramFolder.h"

namespace platform {

namespace {

// Absolute, with "." and ".." resolved, backslashes only and no trailing
// backslash except after a drive ("C:\").
std::wstring fullPath(const std::wstring& path) {
    DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return {};
    std::wstring out(size, L'\0');
    size = ::GetFullPathNameW(path.c_str(), size, out.data(), nullptr);
    out.resize(size);
    while (out.size() > 3 && out.back() == L'\\') out.pop_back();
    return out;
}

// `folder` is `base` or lies in it; the case of letters does not count, as
// in the file system.
bool sameOrInside(const std::wstring& folder, const std::wstring& base) {
    if (base.empty() || folder.size() < base.size()) return false;
    const int n = static_cast<int>(base.size());
    if (::CompareStringOrdinal(folder.c_str(), n, base.c_str(), n, TRUE) != CSTR_EQUAL)
        return false;
    return folder.size() == base.size() || folder[base.size()] == L'\\' || base.back() == L'\\';
}

std::wstring knownFolder(const KNOWNFOLDERID& id) {
    PWSTR path = nullptr;
    // A folder that does not exist (yet) is still the place for programs.
    const HRESULT hr = ::SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path);
    std::wstring out = SUCCEEDED(hr) && path ? fullPath(path) : std::wstring();
    ::CoTaskMemFree(path);
    return out;
}

}  // namespace

bool IsInstalledProgramFolder(const std::filesystem::path& folder) {
    const std::wstring f = fullPath(folder.native());
    if (f.empty()) return false;
    // ProgramFilesX64 is unknown to a 32-bit program, UserProgramFiles to an
    // old system: a folder that cannot be had is no answer, not an error.
    for (const KNOWNFOLDERID* id : {&FOLDERID_ProgramFiles, &FOLDERID_ProgramFilesX86,
                                    &FOLDERID_ProgramFilesX64, &FOLDERID_UserProgramFiles})
        if (sameOrInside(f, knownFolder(*id))) return true;
    return false;
}

}  // namespace platform

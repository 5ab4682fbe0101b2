// Whether the folder a program runs from is an installation: a place for
// programs, which user data such as recordings must never be written into,
// whatever rights the user has there (root, or an administrator, can write
// anywhere). A copy that is not installed (a build tree, an unpacked zip)
// may keep its recordings beside itself.
//
// Linux and other POSIX systems: a folder named bin or sbin (/usr/bin,
//    /usr/local/bin, ~/.local/bin, an unpacked package's usr/bin), or any
//    folder in /usr or /opt.
// Windows: the Program Files folders and the user's own Programs folder (the
//    known folders ProgramFiles, ProgramFilesX86, ProgramFilesX64 and
//    UserProgramFiles), and every folder in them.
// The folder is compared as written after "." and ".." are resolved;
// links are not followed (a program's own folder comes resolved).
#pragma once

#include <filesystem>

namespace platform {

bool IsInstalledProgramFolder(const std::filesystem::path& folder);

}  // namespace platform

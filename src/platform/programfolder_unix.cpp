// Installed program folders on POSIX systems.
#include <iterator>

#include "platform/ProgramFolder.h"

namespace platform {

bool IsInstalledProgramFolder(const std::filesystem::path& folder) {
    // "/usr/bin/" has an empty last element: drop it with the trailing slash.
    std::filesystem::path p = folder.lexically_normal();
    if (!p.has_filename() && p.has_parent_path() && p != p.root_path()) p = p.parent_path();
    const std::filesystem::path name = p.filename();
    if (name == "bin" || name == "sbin") return true;
    if (!p.is_absolute()) return false;
    const auto top = std::next(p.begin());  // the element after the root "/"
    return top != p.end() && std::next(top) != p.end() && (*top == "usr" || *top == "opt");
}

}  // namespace platform

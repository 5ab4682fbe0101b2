#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/DeviceMap.h"

namespace platform {
namespace fs = std::filesystem;

namespace {

// "ttyACM12" -> 12, anything else -> -1.
int acmIndex(const std::string& name) {
    const std::string prefix = "ttyACM";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return -1;
    int v = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || v > 100000) return -1;
        v = v * 10 + (name[i] - '0');
    }
    return v;
}

// "COM7" -> 7, anything else (COM, COM07x, com7) -> -1.
int comNumber(const std::string& name) {
    if (name.size() <= 3 || name.compare(0, 3, "COM") != 0) return -1;
    int v = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || v > 100000) return -1;
        v = v * 10 + (name[i] - '0');
    }
    return v;
}

bool boundToCdcAcm(const fs::path& ttyDir) {
    std::error_code ec;
    fs::path driver = fs::read_symlink(ttyDir / "device" / "driver", ec);
    return !ec && driver.filename() == "cdc_acm";
}

}  // namespace

std::vector<DeviceMapEntry> ReadSerialDeviceMap() {
    std::vector<DeviceMapEntry> out;
    std::error_code ec;
    for (fs::directory_iterator it("/sys/class/tty", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const int k = acmIndex(name);
        if (k < 0 || !boundToCdcAcm(it->path())) continue;
        char dev[32];
        std::snprintf(dev, sizeof dev, "\\Device\\USBSER%03d", k);
        out.push_back({dev, "COM" + std::to_string(k + 1)});
    }
    const char* dir = std::getenv("K740_SERIALCOMM_DIR");
    if (!dir || !*dir) return out;
    ec.clear();
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (comNumber(name) < 0) continue;
        struct stat lst, st;
        if (::lstat(it->path().c_str(), &lst) != 0 || !S_ISLNK(lst.st_mode)) continue;
        if (::stat(it->path().c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
        out.push_back({"\\Device\\USBSER_DIR_" + name, name});
    }
    return out;
}

}  // namespace platform

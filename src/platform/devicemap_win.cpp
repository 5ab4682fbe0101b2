// The serial device map from the registry. Built only on Windows.
#include <windows.h>

#include <vector>

#include "platform/DeviceMap.h"

namespace platform {

namespace {

std::string narrow(const wchar_t* s, DWORD chars) {
    std::string out;
    for (DWORD i = 0; i < chars && s[i]; ++i) out += static_cast<char>(s[i] < 0x80 ? s[i] : '?');
    return out;
}

}  // namespace

std::vector<DeviceMapEntry> ReadSerialDeviceMap() {
    std::vector<DeviceMapEntry> out;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                        &key) != ERROR_SUCCESS)
        return out;  // no map: no ports, and nothing to report
    DWORD values = 0, maxName = 0, maxData = 0;
    if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                           &maxName, &maxData, nullptr, nullptr) == ERROR_SUCCESS) {
        std::vector<wchar_t> name(maxName + 1);
        std::vector<wchar_t> data(maxData / sizeof(wchar_t) + 1);
        for (DWORD i = 0; i < values; ++i) {
            DWORD nameLen = static_cast<DWORD>(name.size());
            DWORD dataLen = static_cast<DWORD>(data.size() * sizeof(wchar_t));
            DWORD type = 0;
            if (::RegEnumValueW(key, i, name.data(), &nameLen, nullptr, &type,
                                reinterpret_cast<BYTE*>(data.data()), &dataLen) != ERROR_SUCCESS ||
                type != REG_SZ)
                continue;
            out.push_back(
                {narrow(name.data(), nameLen), narrow(data.data(), dataLen / sizeof(wchar_t))});
        }
    }
    ::RegCloseKey(key);
    return out;
}

}  // namespace platform

// Contract support on Windows, run under Wine by scripts/test-windows, which
// starts one k740-sim, maps its link to a Wine COM port and tells us where
// everything is through the environment:
//   K740_CONTRACT_PORT            the box's COM port number
//   K740_CONTRACT_NONSERIAL_PORT  a COM port with a plain file behind it
//   K740_CONTRACT_CONSOLE         the box's console (a FIFO), as a Windows path
//   K740_CONTRACT_LOG             the box's output (a file), as a Windows path
// The device map is the registry key HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, which
// the tests write to (as an administrator would have to on Windows).
#include <windows.h>

#include <cstdlib>
#include <stdexcept>

#include "contract_support.h"

namespace contract {
namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    if (!v || !*v)
        throw std::runtime_error(std::string(name) +
                                 " is not set: run the Windows tests through scripts/test-windows");
    return v;
}

std::wstring wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

}  // namespace

struct Box::Impl {
    int port, nonSerial;
    std::string console, log;
};

Box::Box()
    : impl_(std::make_unique<Impl>(Impl{std::atoi(env("K740_CONTRACT_PORT").c_str()),
                                        std::atoi(env("K740_CONTRACT_NONSERIAL_PORT").c_str()),
                                        env("K740_CONTRACT_CONSOLE"), env("K740_CONTRACT_LOG")})) {
    // One box serves every test: a fresh pty (the Wine COM port follows the
    // box's link to it) and no fault left over from the test before.
    Console("unplug\nreplug\nclear\nsilent off\ndelay 0\n");
}

Box::~Box() = default;

int Box::Port() const {
    return impl_->port;
}

int Box::NonSerialPort() const {
    return impl_->nonSerial;
}

void Box::Console(const std::string& lines) {
    detail::SendConsole(impl_->console, impl_->log, lines);
}

struct MapEntries::Impl {
    HKEY key = nullptr;
    int port = 0;
    std::vector<std::wstring> added;

    void set(const std::string& name, DWORD type, const void* data, DWORD size) {
        const std::wstring w = wide(name);
        if (::RegSetValueExW(key, w.c_str(), 0, type, static_cast<const BYTE*>(data), size) !=
            ERROR_SUCCESS)
            throw std::runtime_error("cannot write the registry value " + name);
        added.push_back(w);
    }
    void setText(const std::string& name, const std::string& text) {
        const std::wstring w = wide(text);
        set(name, REG_SZ, w.c_str(), static_cast<DWORD>((w.size() + 1) * sizeof(wchar_t)));
    }
};

MapEntries::MapEntries(const Box& box) : impl_(std::make_unique<Impl>()) {
    impl_->port = box.Port();
    // Volatile, as Windows makes the key: it is gone after a restart.
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                          REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &impl_->key,
                          nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot open HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM for writing");
}

MapEntries::~MapEntries() {
    for (const std::wstring& name : impl_->added) ::RegDeleteValueW(impl_->key, name.c_str());
    ::RegCloseKey(impl_->key);
}

std::string MapEntries::AddBoxEntry() {
    const std::string name = "\\Device\\USBSER_K740_TEST";
    impl_->setText(name, "COM" + std::to_string(impl_->port));
    return name;
}

MapEntries::Expected MapEntries::AddEntryWithoutNumber() {
    // The registry's data is handed on as it is; the program's listing makes
    // "COM" port 1.
    const std::string name = "\\Device\\USBSER_K740_NONUMBER";
    impl_->setText(name, "COM");
    return {name, true, "COM"};
}

std::vector<std::string> MapEntries::AddEntriesOfWrongKind() {
    const DWORD number = 7;
    impl_->set("\\Device\\USBSER_K740_DWORD", REG_DWORD, &number, sizeof number);
    const char odd[3] = {'C', 'O', 'M'};  // three bytes: not even whole characters
    impl_->set("\\Device\\USBSER_K740_BINARY", REG_BINARY, odd, sizeof odd);
    const wchar_t multi[] = L"COM8\0COM9\0";
    impl_->set("\\Device\\USBSER_K740_MULTI", REG_MULTI_SZ, multi, sizeof multi);
    return {"\\Device\\USBSER_K740_DWORD", "\\Device\\USBSER_K740_BINARY",
            "\\Device\\USBSER_K740_MULTI"};
}

std::uint64_t ProcessCpuUs() {
    FILETIME created, ended, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
    auto us = [](const FILETIME& t) {
        return ((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10u;
    };
    return us(kernel) + us(user);
}

std::vector<ProgramFolderCase> ProgramFolderCases() {
    const std::string programs = env("ProgramFiles");
    std::string lower = programs;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    std::vector<ProgramFolderCase> cases = {
        {"installed", programs + "\\Quorvane", true},
        {"program_files_itself", programs, true},
        {"deeper_with_trailing_backslash", programs + "\\Quorvane\\bin\\", true},
        {"other_case", lower + "\\Quorvane", true},
        {"forward_slashes", programs + "/Quorvane", true},
        {"name_that_only_starts_alike", programs + " Extra\\Quorvane", false},
        {"left_by_dot_dot", programs + "\\Quorvane\\..\\..\\Users\\Public\\Quorvane", false},
        {"unpacked_zip", "C:\\Users\\Public\\Downloads\\Quorvane", false},
        {"build_tree", "C:\\work\\quorvane\\build", false},
    };
    // A 32-bit program's folder on a 64-bit system.
    if (const char* x86 = std::getenv("ProgramFiles(x86)"); x86 && *x86)
        cases.push_back({"program_files_x86", std::string(x86) + "\\Quorvane", true});
    return cases;
}

bool UnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

const Errors& SystemErrors() {
    static const Errors errors{ERROR_INVALID_HANDLE,
                               ERROR_INVALID_PARAMETER,
                               {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}};
    return errors;
}

std::optional<std::string> RestrictPortToGroup(const Box&) {
    return std::nullopt;
}

UnprivilegedOpen OpenAsUnprivilegedUser(int) {
    throw std::logic_error("Windows has no per-user permission on COM ports to test");
}

std::string WhyNoUnprivilegedUser() {
    return "Windows has no per-user permission on COM ports to test";
}

}  // namespace contract

// What the platform contract tests need from the machine they run on: a
// simulated box on a real pseudo-terminal, entries in the serial device map,
// and a few measurements. One implementation per platform
// (contract_support_unix.cpp, contract_support_win.cpp); the tests are the
// same source everywhere.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/SerialPort.h"

namespace contract {

// A simulated box (the k740-sim program) on a pseudo-terminal, reachable as
// port Port(): fresh for each test, with a new pty and no fault set.
//   Linux: a k740-sim process of its own in a directory of its own, which
//          K740_SERIALCOMM_DIR names while the object lives.
//   Windows (under Wine): scripts/test-windows runs one k740-sim and maps its
//          link to a Wine COM port; each Box unplugs and replugs it and clears
//          its faults.
class Box {
public:
    Box();  // throws std::runtime_error saying why when no box can be had
    ~Box();
    Box(const Box&) = delete;
    Box& operator=(const Box&) = delete;

    int Port() const;
    // A port that exists but is no serial device (a plain file behind it).
    int NonSerialPort() const;
    // Sends control lines (k740-sim --help lists them) and returns once the
    // box has acted on all of them. Throws when it does not within seconds.
    void Console(const std::string& lines);

    struct Impl;

private:
    friend class MapEntries;
    friend std::optional<std::string> RestrictPortToGroup(const Box& box);
    std::unique_ptr<Impl> impl_;
};

// Entries that a test adds to the system's serial device map; they go again
// with the object.
class MapEntries {
public:
    explicit MapEntries(const Box& box);
    ~MapEntries();
    MapEntries(const MapEntries&) = delete;
    MapEntries& operator=(const MapEntries&) = delete;

    // An entry for the box's port, as the system makes one for a USB serial
    // port; returns the device name that the map lists it under.
    std::string AddBoxEntry();

    // An entry whose port name is "COM" with no number.
    struct Expected {
        std::string DeviceName;
        bool Listed;           // whether the map hands it on
        std::string PortName;  // as listed
    };
    Expected AddEntryWithoutNumber();

    // Entries of the wrong kind (Windows: values that are not strings; Linux:
    // names that lead to no device); returns the device names the map must
    // not list.
    std::vector<std::string> AddEntriesOfWrongKind();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Processor time this process has used, user and system.
std::uint64_t ProcessCpuUs();

// True when the Windows build runs under Wine, where the suite meets known
// differences from Windows.
bool UnderWine();

// The system's codes for the errors the platform header documents.
struct Errors {
    int BadHandle;              // EBADF, ERROR_INVALID_HANDLE
    int InvalidArgument;        // EINVAL, ERROR_INVALID_PARAMETER
    std::vector<int> HeldPort;  // what opening a port that is held gives
};
const Errors& SystemErrors();

// Linux: gives the box's device node to a group that the unprivileged test
// user is not in, mode 0660, and returns the group's name. Windows: nothing,
// since COM ports have no per-user permission there.
std::optional<std::string> RestrictPortToGroup(const Box& box);

// Opens `port` as an unprivileged user in another process (setpriv) and
// reports how that went.
struct UnprivilegedOpen {
    bool Opened;
    platform::OpenError Error;
    std::string Group;  // DeviceGroupForPort as that user saw it
};
UnprivilegedOpen OpenAsUnprivilegedUser(int port);

// Why no program can run as the unprivileged user on this machine, or empty
// when one can. A chroot whose root folder is private to root (as one made
// in a mktemp folder is) keeps that user out of every path.
std::string WhyNoUnprivilegedUser();

// Folders a program may run from, named after the case, with whether each is
// an installation. Linux: the file system's conventions. Windows: built on
// the ProgramFiles and ProgramFiles(x86) variables, which the system sets to
// the same folders as the known folders the platform layer asks for.
struct ProgramFolderCase {
    std::string Name;
    std::filesystem::path Folder;
    bool Installed;
};
std::vector<ProgramFolderCase> ProgramFolderCases();

namespace detail {
// The console of a k740-sim whose standard input is the FIFO `console` and
// whose output goes to the file `log`: writes the lines and a "commands"
// line, then waits for the "end of commands" that answers it.
void SendConsole(const std::string& console, const std::string& log, const std::string& lines);
}  // namespace detail

}  // namespace contract

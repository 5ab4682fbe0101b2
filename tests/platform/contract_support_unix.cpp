// Contract support on Linux: a k740-sim process per box, links in a
// K740_SERIALCOMM_DIR of the box's own, setpriv for the unprivileged user.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "contract_support.h"
#include "platform/Clock.h"

extern char** environ;

namespace contract {
namespace fs = std::filesystem;

namespace {

constexpr int kBoxPort = 5;
constexpr int kNonSerialPort = 6;
constexpr uid_t kNobody = 65534;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

[[noreturn]] void fail(const std::string& what, int err = errno) {
    throw std::runtime_error(what + ": " + std::strerror(err));
}

}  // namespace

struct Box::Impl {
    std::string dir, console, log;
    int hold = -1;  // a writer on the console, so the box never sees its end
    pid_t pid = -1;
};

Box::Box() : impl_(std::make_unique<Impl>()) {
    char tmpl[] = "/tmp/k740-contract-XXXXXX";
    if (!::mkdtemp(tmpl)) fail("mkdtemp");
    impl_->dir = tmpl;
    impl_->console = impl_->dir + "/console";
    impl_->log = impl_->dir + "/sim.log";
    if (::mkfifo(impl_->console.c_str(), 0600) != 0) fail("mkfifo");
    impl_->hold = ::open(impl_->console.c_str(), O_RDWR | O_CLOEXEC);
    if (impl_->hold < 0) fail("open " + impl_->console);
    std::ofstream(impl_->dir + "/plain") << "not a serial device\n";
    fs::create_symlink(impl_->dir + "/plain", impl_->dir + "/COM" + std::to_string(kNonSerialPort));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, impl_->console.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, impl_->log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const std::string port = std::to_string(kBoxPort);
    const char* argv[] = {K740_SIM_PROGRAM, "--dir",      impl_->dir.c_str(),
                          "--port",         port.c_str(), nullptr};
    const int err = ::posix_spawn(&impl_->pid, K740_SIM_PROGRAM, &actions, nullptr,
                                  const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) fail(std::string("start ") + K740_SIM_PROGRAM, err);

    // The box prints one line once its port is there.
    const std::uint64_t end = platform::TickMs() + 10000;
    while (readFile(impl_->log).find("k740-sim: COM" + port + " -> ") == std::string::npos) {
        int status = 0;
        if (::waitpid(impl_->pid, &status, WNOHANG) == impl_->pid) {
            impl_->pid = -1;
            throw std::runtime_error("k740-sim ended at start: " + readFile(impl_->log));
        }
        if (platform::TickMs() > end) throw std::runtime_error("k740-sim did not start");
        platform::SleepMs(5);
    }
    ::setenv("K740_SERIALCOMM_DIR", impl_->dir.c_str(), 1);
}

Box::~Box() {
    ::unsetenv("K740_SERIALCOMM_DIR");
    if (impl_->pid > 0) {
        const char quit[] = "quit\n";
        [[maybe_unused]] const ssize_t n = ::write(impl_->hold, quit, sizeof quit - 1);
        const std::uint64_t end = platform::TickMs() + 5000;
        int status = 0;
        while (::waitpid(impl_->pid, &status, WNOHANG) == 0) {
            if (platform::TickMs() > end) {
                ::kill(impl_->pid, SIGKILL);
                ::waitpid(impl_->pid, &status, 0);
                break;
            }
            platform::SleepMs(5);
        }
    }
    if (impl_->hold >= 0) ::close(impl_->hold);
    std::error_code ec;
    fs::remove_all(impl_->dir, ec);
}

int Box::Port() const {
    return kBoxPort;
}

int Box::NonSerialPort() const {
    return kNonSerialPort;
}

void Box::Console(const std::string& lines) {
    detail::SendConsole(impl_->console, impl_->log, lines);
}

struct MapEntries::Impl {
    std::string dir;
    int port;
};

MapEntries::MapEntries(const Box& box)
    : impl_(std::make_unique<Impl>(Impl{box.impl_->dir, box.Port()})) {}

MapEntries::~MapEntries() = default;  // the box's directory goes with the box

std::string MapEntries::AddBoxEntry() {
    // The box's own link is its entry.
    return "\\Device\\USBSER_DIR_COM" + std::to_string(impl_->port);
}

MapEntries::Expected MapEntries::AddEntryWithoutNumber() {
    const fs::path link = fs::path(impl_->dir) / ("COM" + std::to_string(impl_->port));
    fs::create_symlink(fs::read_symlink(link), fs::path(impl_->dir) / "COM");
    return {"\\Device\\USBSER_DIR_COM", false, ""};
}

std::vector<std::string> MapEntries::AddEntriesOfWrongKind() {
    const fs::path dir = impl_->dir;
    std::ofstream(dir / "COM10") << "a plain file, not a link\n";
    fs::create_symlink(dir / "COM10", dir / "COM11");  // a link to a plain file
    fs::create_directory(dir / "sub");
    fs::create_symlink(dir / "sub", dir / "COM12");      // a link to a directory
    fs::create_symlink(dir / "nothing", dir / "COM13");  // a link to nothing
    return {"\\Device\\USBSER_DIR_COM10", "\\Device\\USBSER_DIR_COM11",
            "\\Device\\USBSER_DIR_COM12", "\\Device\\USBSER_DIR_COM13",
            // and the plain file that stands in for a port that is no device
            "\\Device\\USBSER_DIR_COM" + std::to_string(kNonSerialPort)};
}

std::uint64_t ProcessCpuUs() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

bool UnderWine() {
    return false;
}

std::vector<ProgramFolderCase> ProgramFolderCases() {
    return {
        {"debian_package", "/usr/bin", true},
        {"trailing_slash", "/usr/bin/", true},
        {"local_install", "/usr/local/bin", true},
        {"library_folder", "/usr/lib/quorvane", true},
        {"opt", "/opt/quorvane", true},
        {"unpacked_package", "/tmp/unpacked/usr/bin", true},
        {"users_own_programs", "/home/ana/.local/bin", true},
        {"build_tree", "/home/ana/quorvane/build", false},
        {"unpacked_archive", "/tmp/quorvane-1.0", false},
        {"name_that_only_starts_like_usr", "/usrdata/quorvane", false},
        {"usr_left_by_dot_dot", "/usr/../home/ana/build", false},
        {"bin_left_by_dot_dot", "/home/ana/bin/../build", false},
    };
}

const Errors& SystemErrors() {
    static const Errors errors{EBADF, EINVAL, {EBUSY}};
    return errors;
}

std::optional<std::string> RestrictPortToGroup(const Box& box) {
    // The usual owner of serial ports on Debian; any group the test user is
    // not in would do.
    const group* g = ::getgrnam("dialout");
    if (!g) g = ::getgrgid(0);
    if (!g) throw std::runtime_error("no group to give the port to");
    const std::string name = g->gr_name;
    const fs::path node =
        fs::canonical(fs::path(box.impl_->dir) / ("COM" + std::to_string(box.Port())));
    if (::chown(node.c_str(), 0, g->gr_gid) != 0) fail("chown " + node.string());
    if (::chmod(node.c_str(), 0660) != 0) fail("chmod " + node.string());
    // The user must reach the link, so that the device itself refuses.
    if (::chmod(box.impl_->dir.c_str(), 0755) != 0) fail("chmod " + box.impl_->dir);
    return name;
}

namespace {

// Runs `argv` as the unprivileged user; its standard output, and whether it
// exited with 0.
bool RunAsNobody(const std::vector<std::string>& argv, std::string& text) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string id = std::to_string(kNobody);
    std::vector<std::string> all = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups",
                                    "--"};
    all.insert(all.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& a : all) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const int err = ::posix_spawnp(&pid, "setpriv", &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (err != 0) {
        ::close(out[0]);
        fail("setpriv", err);
    }
    char buf[256];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A folder every user can reach, for the programs that run as nobody: the
// build tree may lie in a folder private to root (a clone in /root).
class OpenFolder {
public:
    OpenFolder() {
        char name[] = "/tmp/k740-contract-XXXXXX";
        if (!::mkdtemp(name)) fail("mkdtemp");
        path_ = name;
        if (::chmod(name, 0755) != 0) fail("chmod " + path_);
    }
    ~OpenFolder() {
        std::error_code ignored;  // a leftover temporary folder harms no test
        fs::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace

std::string WhyNoUnprivilegedUser() {
    OpenFolder folder;
    std::string text;
    if (RunAsNobody({"/bin/sh", "-c", "test -x \"$0\"", folder.Path()}, text)) return {};
    return "user " + std::to_string(kNobody) + " cannot reach " + folder.Path() +
           " here (is the file system root private to root, as in a chroot made in a mktemp "
           "folder?)";
}

UnprivilegedOpen OpenAsUnprivilegedUser(int port) {
    OpenFolder folder;
    const fs::path probe = fs::path(folder.Path()) / "open_probe";
    fs::copy_file(K740_OPEN_PROBE, probe);
    fs::permissions(probe, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    std::string text;
    if (!RunAsNobody({probe.string(), std::to_string(port)}, text))
        throw std::runtime_error("the probe as user " + std::to_string(kNobody) +
                                 " failed: " + text);
    std::istringstream in(text);
    std::string word, groupName;
    in >> word >> groupName;
    UnprivilegedOpen r{word == "Opened", platform::OpenError::Other, groupName};
    if (word == "NotFound") r.Error = platform::OpenError::NotFound;
    if (word == "AccessDenied") r.Error = platform::OpenError::AccessDenied;
    if (word == "InUse") r.Error = platform::OpenError::InUse;
    return r;
}

}  // namespace contract

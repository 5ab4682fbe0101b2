// The k740-sim program as a user starts it from an interactive shell: in the
// background with `&`, where reading the terminal would stop it, and steered
// through its control FIFO. The shell runs on a pseudo-terminal of its own,
// with job control, as in a terminal window.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// An interactive bash on a fresh pseudo-terminal: lines typed into it,
// everything it and its jobs print read back.
class InteractiveShell {
public:
    InteractiveShell() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pty");
        const std::string slave = ::ptsname(master_);
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("no fork");
        if (pid_ == 0) {
            // A session of its own with the pty as its controlling terminal.
            ::setsid();
            const int fd = ::open(slave.c_str(), O_RDWR);
            if (fd < 0) ::_exit(127);
            ::ioctl(fd, TIOCSCTTY, 0);
            ::dup2(fd, 0);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            if (fd > 2) ::close(fd);
            ::setenv("PS1", "$ ", 1);
            ::setenv("TERM", "dumb", 1);
            ::execlp("bash", "bash", "--norc", "--noprofile", "-i", static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~InteractiveShell() {
        // A hang-up ends an interactive shell, which hands it on to its jobs
        // first, as when a terminal window is closed.
        ::kill(pid_, SIGHUP);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::close(master_);
    }

    void Type(const std::string& line) {
        const std::string bytes = line + "\n";
        if (::write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("pty write");
    }
    // Reads until `pattern` matches what came since the last match, or the
    // deadline passes; returns what matched, empty on time-out.
    std::string WaitFor(const std::string& pattern, int deadlineMs = 15000) {
        const std::regex re(pattern);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
        for (;;) {
            std::smatch m;
            if (std::regex_search(unread_, m, re)) {
                const std::string found = m.str(0);
                unread_ = m.suffix();
                return found;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return {};
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) return {};
            unread_.append(buf, static_cast<std::size_t>(n));
            all_.append(buf, static_cast<std::size_t>(n));
        }
    }
    const std::string& All() const { return all_; }

private:
    int master_ = -1;
    pid_t pid_ = -1;
    std::string unread_, all_;
};

class SimFromAShell : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/k740-sim-shell-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        work = tmpl;
        ASSERT_FALSE(shell.WaitFor("\\$ $").empty()) << "no prompt: " << shell.All();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(work, ec);
    }

    fs::path work;
    InteractiveShell shell;
};

// The simulator started with `&` keeps running and serving, leaves the
// terminal to the shell, and reads it again once brought to the foreground.
TEST_F(SimFromAShell, InTheBackgroundItIsNotStoppedAndInTheForegroundItListens) {
    const fs::path ports = work / "ports";
    shell.Type("mkdir " + ports.string());
    shell.Type(std::string(K740_SIM_PROGRAM) + " --dir " + ports.string() + " --port 7 &");
    ASSERT_FALSE(shell.WaitFor("k740-sim: COM7 -> /dev/pts/[0-9]+").empty()) << shell.All();
    // The shell reads a line and runs it while the job goes on: a job that
    // had read the terminal would be reported stopped at the next prompt.
    shell.Type("jobs");
    EXPECT_FALSE(shell.WaitFor("\\[1\\]\\+ +Running +.*k740-sim").empty()) << shell.All();
    shell.Type("fg");
    shell.Type("commands");
    EXPECT_FALSE(shell.WaitFor("end of commands").empty()) << shell.All();
    shell.Type("quit");
    shell.Type("echo sim ended $?");
    EXPECT_FALSE(shell.WaitFor("sim ended 0").empty()) << shell.All();
    EXPECT_EQ(shell.All().find("Stopped"), std::string::npos) << shell.All();
    EXPECT_FALSE(fs::exists(fs::symlink_status(ports / "COM7"))) << "the link stayed";
}

// The example of the manual page, as the user reads it there.
std::vector<std::string> ManualPageExample() {
    std::ifstream page(K740_SIM_MANUAL_PAGE);
    std::vector<std::string> lines;
    bool inExample = false;
    for (std::string line; std::getline(page, line);) {
        if (line == ".nf") {
            inExample = true;
        } else if (line == ".fi") {
            break;
        } else if (inExample) {
            for (std::size_t at; (at = line.find("\\-")) != std::string::npos;)
                line.replace(at, 2, "-");
            lines.push_back(line);
        }
    }
    return lines;
}

// Every occurrence of `from` in `text` replaced by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// The manual page's example, typed as it stands but with this build's
// programs and the test's own folder: the tool finds the box, and the lines
// written into the FIFO reach the box.
TEST_F(SimFromAShell, ManualPageExampleServesTheToolAndTakesLinesFromTheFifo) {
    std::vector<std::string> typed, fifoLines;
    for (std::string line : ManualPageExample()) {
        line = Replaced(line, "/tmp/", work.string() + "/");
        if (line.rfind("k740-sim ", 0) == 0) line = K740_SIM_PROGRAM + line.substr(8);
        line =
            Replaced(line, " Quorvane_for_K740_3T_TQ55_SPI", std::string(" ") + K740_TOOL_PROGRAM);
        (line.rfind("echo ", 0) == 0 ? fifoLines : typed).push_back(line);
    }
    ASSERT_EQ(typed.size(), 3u) << "mkdir, the simulator and the tool";
    ASSERT_EQ(fifoLines.size(), 2u) << "unplug and replug";
    const std::string control = (work / "k740-control").string();
    ASSERT_NE(typed[1].find("--control " + control + " &"), std::string::npos) << typed[1];

    shell.Type("export QT_QPA_PLATFORM=offscreen");
    for (const std::string& line : typed) shell.Type(line);
    ASSERT_FALSE(shell.WaitFor("k740-sim: COM7 -> /dev/pts/[0-9]+").empty()) << shell.All();
    // The tool reads the encoder once it has found the box.
    bool reading = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!reading && std::chrono::steady_clock::now() < end) {
        shell.Type("echo commands >" + control);
        const std::string listed = shell.WaitFor("(cmd: [^\\r\\n]*\\r?\\n)*end of commands");
        reading = listed.find("cmd: ?06:006") != std::string::npos;
        if (!reading) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_TRUE(reading) << shell.All();
    for (const std::string& line : fifoLines) shell.Type(line);
    EXPECT_FALSE(shell.WaitFor("k740-sim: COM7 -> /dev/pts/[0-9]+").empty())
        << "the box was not plugged in again: " << shell.All();
    shell.Type("jobs");
    EXPECT_FALSE(shell.WaitFor("\\[2\\]\\+ +Running").empty()) << shell.All();
    EXPECT_EQ(shell.All().find("Stopped"), std::string::npos) << shell.All();
}

}  // namespace

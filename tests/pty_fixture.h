// A bare pseudo-terminal for tests that play the box's side byte by byte,
// linked as COM<n> in a temporary K740_SERIALCOMM_DIR.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

// Points K740_SERIALCOMM_DIR at a fresh directory for the life of the object.
class SerialCommDir {
public:
    SerialCommDir() {
        if (!dir_.isValid()) throw std::runtime_error("no temp dir");
        setenv("K740_SERIALCOMM_DIR", dir_.path().toLocal8Bit().constData(), 1);
    }
    ~SerialCommDir() { unsetenv("K740_SERIALCOMM_DIR"); }
    std::string Path() const { return dir_.path().toStdString(); }

private:
    QTemporaryDir dir_;
};

class RawPty {
public:
    RawPty(const std::string& dir, int port) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            throw std::runtime_error("no pty");
        slave_ = ptsname(master_);
        // Keep a slave open so the master never sees a hang-up between opens,
        // and make it raw so nothing is echoed back before the tool opens it.
        hold_ = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t;
        tcgetattr(hold_, &t);
        cfmakeraw(&t);
        tcsetattr(hold_, TCSANOW, &t);
        link_ = dir + "/COM" + std::to_string(port);
        std::filesystem::remove(link_);
        std::filesystem::create_symlink(slave_, link_);
    }
    ~RawPty() {
        CloseMaster();
        std::error_code ec;
        std::filesystem::remove(link_, ec);
    }
    void CloseMaster() {
        if (hold_ >= 0) ::close(hold_);
        if (master_ >= 0) ::close(master_);
        hold_ = master_ = -1;
    }
    void Send(const std::string& bytes) {
        if (::write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("pty write");
    }
    // Reads what the tool wrote until `n` bytes came or the deadline passed.
    std::string Receive(std::size_t n, int deadlineMs = 2000) {
        std::string out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[256];
            const ssize_t got = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) break;
            out.append(buf, static_cast<std::size_t>(got));
        }
        return out;
    }
    int Master() const { return master_; }
    const std::string& SlavePath() const { return slave_; }

private:
    int master_ = -1, hold_ = -1;
    std::string slave_, link_;
};

// Number of open descriptors of this process.
inline int OpenFdCount() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// Waits for `cond` until the deadline; pumps `pump` between looks.
inline bool WaitFor(const std::function<bool()>& cond, int deadlineMs,
                    const std::function<void()>& pump = {}) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (pump)
            pump();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

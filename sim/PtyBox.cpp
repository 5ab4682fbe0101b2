#include "PtyBox.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace k740sim {
namespace {

std::uint64_t nowUs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

std::uint64_t nowMs() {
    return nowUs() / 1000u;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

[[noreturn]] void fail(const std::string& what, int err = errno) {
    throw std::runtime_error("PtyBox: " + what + ": " + std::strerror(err));
}

// Reads all queued inotify events; true when one of them says a descriptor
// of the slave was closed (or events were lost, which may have hidden one).
bool drainCloseEvents(int fd) {
    alignas(inotify_event) char buf[4096];
    bool closed = false;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return closed;
        }
        for (ssize_t off = 0; off + ssize_t(sizeof(inotify_event)) <= n;) {
            inotify_event ev;
            std::memcpy(&ev, buf + off, sizeof ev);
            if (ev.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE | IN_Q_OVERFLOW)) closed = true;
            off += ssize_t(sizeof(inotify_event) + ev.len);
        }
    }
}

}  // namespace

PtyBox::PtyBox(const std::string& dir, int portNumber)
    : dir_(dir), port_(portNumber), link_(dir + "/COM" + std::to_string(portNumber)) {
    if (portNumber < 0) throw std::runtime_error("PtyBox: negative port number");
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);  // a failure shows when the link is made
    int p[2];
    if (::pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) fail("pipe");
    wakeRead_ = p[0];
    wakeWrite_ = p[1];
    try {
        openPty();
    } catch (...) {
        closeFd(wakeRead_);
        closeFd(wakeWrite_);
        throw;
    }
    try {
        startThread();
    } catch (...) {
        closePty();
        closeFd(wakeRead_);
        closeFd(wakeWrite_);
        throw;
    }
}

PtyBox::~PtyBox() {
    Unplug();
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
}

void PtyBox::Unplug() {
    std::lock_guard plug(plugMutex_);
    if (!Plugged()) return;
    stopThread();
    closePty();
}

void PtyBox::Replug() {
    std::lock_guard plug(plugMutex_);
    if (Plugged()) return;
    openPty();
    // The box was without power while unplugged.
    box_.PowerCycle();
    startThread();
}

bool PtyBox::Plugged() const {
    std::lock_guard lock(mutex_);
    return master_ >= 0;
}

std::string PtyBox::LinkPath() const {
    std::lock_guard lock(mutex_);
    return link_;
}

std::string PtyBox::SlavePath() const {
    std::lock_guard lock(mutex_);
    return slavePath_;
}

void PtyBox::RecordReplyGaps(bool on) {
    recordGaps_ = on;
}

std::vector<PtyBox::ReplyGap> PtyBox::TakeReplyGaps() {
    std::lock_guard lock(gapsMutex_);
    return std::exchange(gaps_, {});
}

void PtyBox::startThread() {
    stop_ = false;
    thread_ = std::thread(&PtyBox::run, this);
}

void PtyBox::stopThread() {
    if (!thread_.joinable()) return;
    stop_ = true;
    const char b = 1;
    while (::write(wakeWrite_, &b, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
}

void PtyBox::openPty() {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) fail("posix_openpt");
    int slave = -1, watch = -1;
    auto cleanup = [&](const std::string& what) {
        const int err = errno;
        closeFd(watch);
        closeFd(slave);
        closeFd(master);
        fail(what, err);
    };
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) cleanup("grantpt/unlockpt");
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) cleanup("ptsname_r");

    // Our own slave descriptor keeps the pty from hanging up while the tool
    // has the port closed; without it poll on the master reports POLLHUP
    // without end.
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave < 0) cleanup(std::string("open ") + name);
    // Raw from the start, so nothing the tool sends before it sets the line
    // up is echoed or turned into something else.
    termios tio;
    if (::tcgetattr(slave, &tio) != 0) cleanup("tcgetattr");
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(slave, TCSANOW, &tio) != 0) cleanup("tcsetattr");
    const int flags = ::fcntl(master, F_GETFL);
    if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) cleanup("fcntl");

    // A real port is released when the tool closes it; a pty lives on in our
    // hands, together with its exclusive flag and unread input. The watch lets
    // the box notice the close and undo both. Without inotify (limits reached)
    // the box still works, only reopening as non-root may meet EBUSY.
    watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch >= 0 && ::inotify_add_watch(watch, name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
        closeFd(watch);

    // Link under a temporary name and rename over the old one, so a stale
    // link (or file) is replaced and the name never points nowhere.
    const std::string tmp = link_ + ".new";
    ::unlink(tmp.c_str());
    if (::symlink(name, tmp.c_str()) != 0) cleanup("symlink " + tmp);
    if (::rename(tmp.c_str(), link_.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        cleanup("rename to " + link_);
    }

    std::lock_guard lock(mutex_);
    master_ = master;
    slave_ = slave;
    closeWatch_ = watch;
    slavePath_ = name;
}

void PtyBox::closePty() {
    std::lock_guard lock(mutex_);
    // Remove the link only while it is still ours; another box may own it now.
    char target[256];
    const ssize_t n = ::readlink(link_.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath_)
        ::unlink(link_.c_str());
    closeFd(closeWatch_);
    closeFd(master_);
    closeFd(slave_);
    slavePath_.clear();
}

void PtyBox::run() {
    int master, slave, watch;
    {
        std::lock_guard lock(mutex_);
        master = master_;
        slave = slave_;
        watch = closeWatch_;
    }
    struct Reply {
        std::uint64_t due;
        std::uint64_t session;  // replies to a port that has since closed are lost
        std::string bytes;
    };
    std::deque<Reply> out;
    std::uint64_t session = 0;
    std::uint64_t masterQuietUntil = 0;
    std::uint64_t lastReplyUs = 0;  // end of the last reply's write, while no command followed
    char buf[4096];

    // Reply delays are a few milliseconds: wait for them to the microsecond,
    // without the kernel's default slack of 50 us on every wake-up.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!stop_) {
        std::uint64_t now = nowUs();
        std::uint64_t wait = ~std::uint64_t(0);
        if (!out.empty()) wait = out.front().due > now ? out.front().due - now : 0;

        pollfd fds[3];
        nfds_t count = 0;
        fds[count++] = {wakeRead_, POLLIN, 0};
        int mi = -1, wi = -1;
        // A hung-up master (should our own slave fd ever be gone) is left out
        // for a moment instead of making poll return at once, again and again.
        if (now >= masterQuietUntil) {
            mi = int(count);
            fds[count++] = {master, POLLIN, 0};
        } else {
            wait = std::min(wait, masterQuietUntil - now);
        }
        if (watch >= 0) {
            wi = int(count);
            fds[count++] = {watch, POLLIN, 0};
        }
        const std::uint64_t waitUs = std::min<std::uint64_t>(wait, 60000000u);
        const timespec timeout{static_cast<time_t>(waitUs / 1000000u),
                               static_cast<long>(waitUs % 1000000u) * 1000L};
        if (::ppoll(fds, count, wait == ~std::uint64_t(0) ? nullptr : &timeout, nullptr) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        if (stop_) break;

        // Before reading the master: a close followed at once by a reopen
        // and a new command must not lose the new command's reply.
        if (wi >= 0 && (fds[wi].revents & POLLIN) && drainCloseEvents(watch)) {
            ::ioctl(slave, TIOCNXCL);
            ::tcflush(slave, TCIFLUSH);
            ++session;
            ++closesSeen_;
        }

        if (mi >= 0 && fds[mi].revents) {
            // Taken before reading: the command was there when poll returned.
            const std::uint64_t arrivedUs = nowUs();
            bool hung = !(fds[mi].revents & POLLIN);
            for (;;) {
                const ssize_t n = ::read(master, buf, sizeof buf);
                if (n > 0) {
                    if (lastReplyUs != 0) {
                        if (recordGaps_) {
                            std::lock_guard gaps(gapsMutex_);
                            gaps_.push_back({lastReplyUs, arrivedUs});
                        }
                        lastReplyUs = 0;
                    }
                    const auto replies = box_.Feed(std::string_view(buf, std::size_t(n)), nowMs());
                    const std::uint64_t due = nowUs() + 1000u * box_.ReplyDelayMs();
                    for (const auto& r : replies)
                        out.push_back(
                            {out.empty() ? due : std::max(due, out.back().due), session, r});
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                if (n < 0 && errno != EAGAIN) hung = true;
                break;
            }
            if (hung) masterQuietUntil = nowUs() + 20000u;
        }

        now = nowUs();
        while (!out.empty() && out.front().due <= now) {
            const Reply& r = out.front();
            // One write per reply, as the box sends it in one USB packet. A
            // full buffer (nobody reading) loses the reply, as on the wire.
            if (r.session == session && !r.bytes.empty()) {
                while (::write(master, r.bytes.data(), r.bytes.size()) < 0 && errno == EINTR) {
                }
                lastReplyUs = nowUs();
            }
            out.pop_front();
        }
    }
}

}  // namespace k740sim

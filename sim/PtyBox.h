// Runs a K740Box on a real pseudo-terminal, on a thread of its own, and links
// the terminal as <dir>/COM<n> so the tool finds it through
// K740_SERIALCOMM_DIR.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "K740Box.h"

namespace k740sim {

class PtyBox {
public:
    // Creates the pty and the link and starts answering. Throws
    // std::runtime_error when the pty or the link cannot be made.
    PtyBox(const std::string& dir, int portNumber);
    ~PtyBox();  // stops the thread, closes the pty, removes the link
    PtyBox(const PtyBox&) = delete;
    PtyBox& operator=(const PtyBox&) = delete;

    K740Box& Box() { return box_; }

    // Unplug: the link disappears and the pty closes, so the tool's open port
    // reports a hang-up and its writes fail. Replug: a fresh pty under the
    // same link.
    void Unplug();
    void Replug();
    bool Plugged() const;

    std::string LinkPath() const;   // <dir>/COM<n>
    std::string SlavePath() const;  // /dev/pts/N of the current pty

    // How often the box has noticed the tool closing its port (which clears
    // the port's exclusive flag and its unread input, as a real port's
    // release does). Lets tests wait for that instead of sleeping.
    std::uint64_t ClosesSeen() const { return closesSeen_; }

    // The tool's turnaround as the box sees it: for every command that comes
    // after a reply, when the reply's write ended and when the command
    // arrived, on the steady clock in microseconds. Off until asked for, so a
    // box that runs for a shift keeps nothing; TakeReplyGaps hands over what
    // was gathered and clears it.
    struct ReplyGap {
        std::uint64_t replyEndUs;
        std::uint64_t commandUs;
    };
    void RecordReplyGaps(bool on);
    std::vector<ReplyGap> TakeReplyGaps();

private:
    // see PtyBox.cpp
    void run();
    void openPty();
    void closePty();
    void startThread();
    void stopThread();

    K740Box box_;
    std::string dir_;
    int port_;
    std::string link_, slavePath_;
    int master_ = -1, slave_ = -1;
    int wakeRead_ = -1, wakeWrite_ = -1;
    int closeWatch_ = -1;  // inotify on the slave node: the tool closing its port
    mutable std::mutex mutex_;
    std::mutex plugMutex_;  // one Unplug/Replug at a time
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> closesSeen_{0};
    std::atomic<bool> recordGaps_{false};
    std::mutex gapsMutex_;
    std::vector<ReplyGap> gaps_;
    std::thread thread_;
};

}  // namespace k740sim

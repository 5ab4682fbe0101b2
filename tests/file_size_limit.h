// A full disk, made real for this process: for the life of the object no
// file may grow past `bytes`, and a write that would pass the limit fails
// with EFBIG instead of the process being killed by SIGXFSZ.
#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <cstdint>

class FileSizeLimit {
public:
    explicit FileSizeLimit(std::uint64_t bytes) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &oldAction_);
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit tight = saved_;
        tight.rlim_cur = static_cast<rlim_t>(bytes);
        setrlimit(RLIMIT_FSIZE, &tight);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        sigaction(SIGXFSZ, &oldAction_, nullptr);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct sigaction oldAction_ {};
    rlimit saved_{};
};

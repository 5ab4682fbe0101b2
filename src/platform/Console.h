// What a command-line program needs to know about its console and its
// standard output.
#pragma once

#include <cstddef>

namespace platform {

// True when standard error is a terminal (a progress line can then be
// rewritten in place); false for a pipe or a file.
bool StderrIsTerminal();

// True when standard output is open for writing. Asked first thing: once the
// program opens a file, a closed standard output may have been taken by it.
bool StandardOutputOpen();

// From now on a write to a pipe whose reader has gone fails (EPIPE) instead
// of ending the program (SIGPIPE), so the program can end in its own way.
// Windows has no such signal: there the write fails anyway.
void IgnoreBrokenPipe();

enum class OutputResult {
    Written,     // every byte
    ReaderGone,  // standard output is a pipe whose reader has closed it
    Failed,      // any other failure; LastError() says why
};

// Writes all of `data` to standard output, unbuffered, waiting while a pipe
// is full. Call IgnoreBrokenPipe() first on POSIX.
OutputResult WriteStandardOutput(const char* data, std::size_t size);

}  // namespace platform

// What a command-line program needs to know about its console.
#pragma once

namespace platform {

// True when standard error is a terminal (a progress line can then be
// rewritten in place); false for a pipe or a file.
bool StderrIsTerminal();

}  // namespace platform

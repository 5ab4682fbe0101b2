// What the program needs of the files it writes beyond writing them. The
// files themselves are opened and written through Qt; this takes the C
// runtime descriptor that QFile::handle() gives.
#pragma once

namespace platform {

// Returns once the disk holds the data written to the file behind
// `descriptor` so far (and what is needed to read it back), so that a power
// cut cannot take it: fdatasync on POSIX, FlushFileBuffers on Windows.
// `descriptor` must be one the caller holds open for writing, on a regular
// file. False with LastError() when the disk refused (EIO, ENOSPC on POSIX)
// and, for a descriptor below 0, EBADF or ERROR_INVALID_HANDLE.
bool SyncFile(int descriptor);

}  // namespace platform

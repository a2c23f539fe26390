// Opening the files that the service and its servers write their output to
// (Service.out, AppServer_<address>_<port>.log): appended, never through a
// symbolic link, and never blocking on something that is not a file.
#pragma once

#include <string>

namespace foundation {

// Opens `path` for appending: created with mode 0640 when missing, never
// through a symbolic link (someone else may have planted one), close-on-exec,
// and without blocking: a FIFO nobody reads, a device or anything else that
// is not a regular file is refused. Returns the descriptor (blocking again,
// the caller's), or -1 with errno set (ELOOP for a symbolic link, EINVAL for
// what is not a regular file) and, when `reason` is given, a readable reason
// in it ("refused: it is not a regular file", or the OS reason).
int OpenOutputFile(const std::string& path, std::string* reason = nullptr);

// Why opening `path` failed with `error`, as OpenOutputFile words it.
std::string OutputFileFailure(const std::string& path, int error);

}  // namespace foundation

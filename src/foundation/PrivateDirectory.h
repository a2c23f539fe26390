// The service's own directory for its lock and control socket ($TARVEL/run):
// made by the service when missing, and otherwise used only as found when no
// other user could change what is in it. A directory someone else provided
// (a shared /run, a group's 0775 directory) is never chmodded into shape:
// its mode is what its owner chose for everyone who uses it.
#pragma once

#include <sys/stat.h>

#include <string>

namespace foundation {

// Why the directory or file described by `info` is not this service's alone,
// or "" when it is: owned by this process's effective user and writable by
// no other user. Changes nothing.
std::string NotPrivate(const struct stat& info);

// Opens the directory `path`, creating it with mode 0700 when it is missing.
// One found in place is used as it is (mode and owner untouched) when it is
// a directory, not a symbolic link, and NotPrivate finds nothing. Returns the
// descriptor (close-on-exec, the caller's to close), or -1 with the reason in
// `reason` ("it is a symbolic link", "group or others may write it", ...).
int OpenPrivateDirectory(const std::string& path, std::string& reason);

}  // namespace foundation

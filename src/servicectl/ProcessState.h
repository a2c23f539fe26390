// What /proc tells about another process.
#pragma once

#include <sys/types.h>

#include <string>

namespace servicectl {

// True when the process no longer exists or has ended and waits to be
// reaped (state Z or X): a zombie still accepts kill(), but it is gone.
bool ProcessEnded(pid_t pid);

// The target of a symbolic link; false when it cannot be read or does not
// fit 4095 bytes (a cut path must not be compared or used).
bool ReadLink(const std::string& path, std::string& target);

// The target of /proc/<pid>/exe; false when it cannot be read (no such
// process, no permission, or a process that has ended).
bool ReadExeLink(pid_t pid, std::string& target);

}  // namespace servicectl

// What /proc tells about another process, and waiting for a process to end.
#pragma once

#include <sys/types.h>

#include <chrono>

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

// A descriptor that becomes readable the moment `pid` ends (a child: once it
// is a zombie). It refers to that process only, even when its id is given to
// another one later. -1 with errno when the kernel has no pidfd_open or a
// descriptor limit is reached; WaitForEnd then looks every 10 ms instead.
class ProcessHandle {
public:
    explicit ProcessHandle(pid_t pid);
    ~ProcessHandle();
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;

    int fd() const { return mFd; }
    pid_t pid() const { return mPid; }
    // Sends `signal` to this very process: through the pidfd, so that a
    // process that later got the same id is never reached; by pid only
    // without one. 0, or -1 with errno (ESRCH: it is gone), as kill().
    int Signal(int signal) const;
    // True when the process has ended (a zombie counts), without waiting.
    bool Ended() const { return WaitForEnd(std::chrono::steady_clock::now()); }
    // Waits until the process has ended or `deadline` has come; true when it
    // ended. Never returns false before the deadline, and never waits past it
    // by more than a scheduling delay. A cancellation point.
    bool WaitForEnd(std::chrono::steady_clock::time_point deadline) const;

private:
    pid_t mPid;
    int mFd;
};

}  // namespace servicectl

#include "servicectl/ProcessState.h"

#include "baselib/kx_time.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
// This C library's header lacks the C++ linkage block; what it includes is in
// already.
extern "C" {
#include <sys/pidfd.h>
}

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace servicectl {

bool ProcessEnded(pid_t pid)
{
    if (pid <= 0)
        return true;
    if (kill(pid, 0) != 0 && errno == ESRCH)
        return true;
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ESRCH;
    // "pid (comm) S ...": comm is at most 16 bytes, so the state is well
    // within the first 256 bytes; comm itself may contain ')'.
    char buffer[256];
    ssize_t length;
    do {
        length = read(fd, buffer, sizeof buffer - 1);
    } while (length < 0 && errno == EINTR);
    close(fd);
    if (length <= 0)
        return length == 0;  // an empty stat: the process went away meanwhile
    buffer[length] = '\0';
    const char* paren = strrchr(buffer, ')');
    if (paren == nullptr || paren[1] != ' ' || paren[2] == '\0')
        return false;
    return paren[2] == 'Z' || paren[2] == 'X';
}

bool ReadLink(const std::string& path, std::string& target)
{
    char buffer[4096];
    ssize_t length = readlink(path.c_str(), buffer, sizeof buffer);
    // A target that fills the buffer may have been cut.
    if (length < 0 || static_cast<size_t>(length) >= sizeof buffer)
        return false;
    target.assign(buffer, static_cast<size_t>(length));
    return true;
}

bool ReadExeLink(pid_t pid, std::string& target)
{
    return ReadLink("/proc/" + std::to_string(pid) + "/exe", target);
}

ProcessHandle::ProcessHandle(pid_t pid) : mPid(pid), mFd(pid > 0 ? pidfd_open(pid, 0) : -1)
{
}

ProcessHandle::~ProcessHandle()
{
    if (mFd >= 0)
        close(mFd);
}

int ProcessHandle::Signal(int signal) const
{
    if (mFd >= 0)
        return pidfd_send_signal(mFd, signal, nullptr, 0);
    return kill(mPid, signal);
}

bool ProcessHandle::WaitForEnd(std::chrono::steady_clock::time_point deadline) const
{
    using Clock = std::chrono::steady_clock;
    // Without a pidfd, the best bounded wait is to look again and again.
    const auto fallbackStep = std::chrono::milliseconds(10);
    for (;;) {
        auto now = Clock::now();
        auto left = deadline > now ? deadline - now : Clock::duration::zero();
        // Rounded up: a wait that ended a little early would count as a time-out.
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        if (mFd >= 0) {
            struct pollfd entry = {mFd, POLLIN, 0};
            int ready = poll(&entry, 1, ms > 1 << 30 ? 1 << 30 : static_cast<int>(ms));
            if (ready > 0)
                return true;
            if (ready < 0 && errno != EINTR)
                return ProcessEnded(mPid);
        } else {
            if (ProcessEnded(mPid))
                return true;
            if (ms > 0)
                SleepMillisecondsFully(static_cast<unsigned>(
                    std::min(std::chrono::milliseconds(ms), fallbackStep).count()));
        }
        if (Clock::now() >= deadline)
            return mFd >= 0 ? false : ProcessEnded(mPid);
    }
}

}  // namespace servicectl

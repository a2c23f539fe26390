#include "foundation/ChildEnds.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/Exceptions.h"

namespace {

int gChildFd = -1;

[[noreturn]] void Fail(const char* call)
{
    throw CWIException(ERROR_GENERAL, "ChildEndDescriptor(): %s failed (%s)", call,
                       strerror(errno));
}

}  // namespace

int ChildEndDescriptor()
{
    if (gChildFd >= 0)
        return gChildFd;
    // An inherited SIG_IGN would make the kernel reap children unseen, and
    // stop reports would only wake the loop.
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    action.sa_flags = SA_NOCLDSTOP;
    if (sigaction(SIGCHLD, &action, nullptr) != 0)
        Fail("sigaction(SIGCHLD)");
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    // Blocked first: an end between the two calls is pending, not lost.
    if (pthread_sigmask(SIG_BLOCK, &child, nullptr) != 0)
        Fail("pthread_sigmask");
    int fd = signalfd(-1, &child, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0)
        Fail("signalfd");
    gChildFd = fd;
    return gChildFd;
}

std::vector<pid_t> DrainChildEnds(size_t most)
{
    std::vector<pid_t> senders;
    signalfd_siginfo infos[16];
    while (gChildFd >= 0) {
        ssize_t length = read(gChildFd, infos, sizeof infos);
        if (length < 0 && errno == EINTR)
            continue;
        for (ssize_t i = 0; length > 0 && i < length / ssize_t(sizeof infos[0]); ++i)
            if (senders.size() < most)
                senders.push_back(static_cast<pid_t>(infos[i].ssi_pid));
        if (length < static_cast<ssize_t>(sizeof infos))
            break;  // EAGAIN, or all that was pending
    }
    return senders;
}

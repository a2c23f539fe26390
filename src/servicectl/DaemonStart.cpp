#include "servicectl/DaemonStart.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "baselib/kx_time.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"
#include "foundation/OutputFile.h"

namespace servicectl {

namespace {

using Clock = std::chrono::steady_clock;

const char kReady = 'R';
const char kPartly = 'P';
const char kFailed = 'F';
// A report is one line; a longer one is cut.
const size_t kReportLimit = 4096;
// How long a daemon that reported or closed the channel gets to end, and a
// daemon that did not become ready gets between SIGTERM and SIGKILL.
constexpr std::chrono::seconds kEndLimit(5);

// The daemon's end of the channel; -1 in every other process and after the
// first report.
int reportFd = -1;

std::string OsError(const char* what, const std::string& on)
{
    return std::string(what) + " " + on + " (" + strerror(errno) + ")";
}

// Reaps our child if it ends before `deadline`; true with its status then.
bool ReapBy(pid_t child, Clock::time_point deadline, int& status)
{
    for (;;) {
        pid_t reaped = waitpid(child, &status, WNOHANG);
        if (reaped == child || (reaped < 0 && errno != EINTR))
            return reaped == child;
        if (Clock::now() >= deadline)
            return false;
        SleepMilliseconds(10);
    }
}

// SIGTERM, then SIGKILL if it is still there after kEndLimit; reaps it.
void EndChild(pid_t child)
{
    int status;
    kill(child, SIGTERM);
    if (ReapBy(child, Clock::now() + kEndLimit, status))
        return;
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
}

std::string DescribeEnd(int status)
{
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

void Report(char kind, const std::string& text)
{
    if (reportFd < 0)
        return;
    std::string message(1, kind);
    message += text.substr(0, kReportLimit);
    // The starting process may be gone: MSG_NOSIGNAL keeps that from
    // raising SIGPIPE in the daemon, and nothing is lost but the report.
    size_t sent = 0;
    while (sent < message.size()) {
        ssize_t n = send(reportFd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    close(reportFd);
    reportFd = -1;
}

// close_range, or (on a kernel without it) one descriptor after another as
// /proc/self/fd lists them.
void CloseRange(unsigned first, unsigned last, int flags)
{
    if (close_range(first, last, flags) == 0)
        return;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return;
    std::vector<int> listed;
    while (struct dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long fd = strtol(entry->d_name, &end, 10);
        bool number = end != entry->d_name && *end == '\0';
        if (number && fd != dirfd(dir) && fd >= static_cast<long>(first) &&
            fd <= static_cast<long>(last))
            listed.push_back(static_cast<int>(fd));
    }
    closedir(dir);
    for (int fd : listed) {
        if (flags & CLOSE_RANGE_CLOEXEC)
            fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
        else
            close(fd);
    }
}

// Replaces `target` (a standard descriptor) by `fd`; throws with the reason.
void Redirect(int fd, int target, const std::string& path)
{
    if (dup2(fd, target) < 0)
        throw CServiceException(
            OsError("CDaemonController::startService(): cannot redirect output to", path), 0);
}

}  // namespace

StartChannel::StartChannel()
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw CServiceException(
            std::string("CDaemonController::startService(): cannot create the start report channel (") +
                strerror(errno) + ")",
            0);
    mRead = fds[0];
    mWrite = fds[1];
}

StartChannel::~StartChannel()
{
    if (mRead >= 0)
        close(mRead);
    if (mWrite >= 0)
        close(mWrite);
}

void StartChannel::becomeReporter()
{
    close(mRead);
    mRead = -1;
    reportFd = mWrite;
    mWrite = -1;
}

StartOutcome StartChannel::awaitReport(pid_t child, std::chrono::seconds limit)
{
    // Only the daemon may hold the writing end, or the end of the daemon
    // would never show as the end of the channel.
    close(mWrite);
    mWrite = -1;

    StartOutcome outcome;
    std::string received;
    auto deadline = Clock::now() + limit;
    bool closed = false;
    while (!closed) {
        // Rounded up: a wait cut to whole milliseconds would end a little
        // before the bound and report a time-out too early.
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            EndChild(child);
            outcome.kind = StartOutcome::TIMED_OUT;
            return outcome;
        }
        pollfd wait{mRead, POLLIN, 0};
        int ready = poll(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR)
            break;  // cannot wait: judge by what the daemon did
        if (ready <= 0)
            continue;
        char buffer[1024];
        ssize_t n = read(mRead, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            closed = true;
        } else if (received.size() < kReportLimit + 1) {
            received.append(buffer, static_cast<size_t>(n));
        }
        // The daemon closes the channel after its report: its summary is
        // complete at the end of the channel.
        if (closed && !received.empty() && (received[0] == kReady || received[0] == kPartly)) {
            outcome.kind = received[0] == kReady ? StartOutcome::READY : StartOutcome::PARTLY;
            outcome.text = received.substr(1, kReportLimit);
            return outcome;
        }
    }

    // A daemon that reported or closed the channel is on its way out.
    int status = 0;
    if (!ReapBy(child, Clock::now() + kEndLimit, status)) {
        EndChild(child);
        status = W_EXITCODE(1, 0);
    }
    if (!received.empty() && received[0] == kFailed) {
        outcome.kind = StartOutcome::REPORTED;
        outcome.text = received.substr(1, kReportLimit);
    } else {
        outcome.kind = StartOutcome::ENDED;
        outcome.text = DescribeEnd(status);
    }
    return outcome;
}

void DetachDaemon(const std::string& outputFile)
{
    // Out of the caller's session and process group: a Ctrl-C or hang-up
    // meant for the shell it was started from must not reach it.
    setsid();

    // Nothing of the daemon may reach the caller's terminal, not even the
    // report of a failure below (the starting process prints that).
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        throw CServiceException(OsError("CDaemonController::startService(): cannot open", "/dev/null"),
                                0);
    for (int target : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        Redirect(null, target, "/dev/null");
    close(null);

    CLog::checkWritable();
    CloseDescriptorsExcept({reportFd});
    if (outputFile == "/dev/null")
        return;  // where the output already goes; an output file is a regular file

    std::string reason;
    int output = foundation::OpenOutputFile(outputFile, &reason);
    if (output < 0)
        throw CServiceException("CDaemonController::startService(): cannot open " + outputFile +
                                    " (" + reason + ")",
                                0);
    Redirect(output, STDOUT_FILENO, outputFile);
    Redirect(output, STDERR_FILENO, outputFile);
    close(output);
}

void CloseDescriptorsExcept(std::vector<int> keep)
{
    std::sort(keep.begin(), keep.end());
    unsigned first = 3;
    for (int fd : keep) {
        if (fd < static_cast<int>(first))
            continue;
        if (static_cast<unsigned>(fd) > first)
            CloseRange(first, static_cast<unsigned>(fd) - 1, 0);
        first = static_cast<unsigned>(fd) + 1;
    }
    CloseRange(first, ~0U, 0);
}

void ShutDescriptorsOnExec()
{
    CloseRange(3, ~0U, CLOSE_RANGE_CLOEXEC);
}

void ReportStartReady(const std::string& summary, bool complete)
{
    Report(complete ? kReady : kPartly, summary);
}

void ReportStartFailure(const std::string& line)
{
    Report(kFailed, line);
}

}  // namespace servicectl

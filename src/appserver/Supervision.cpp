// The supervision loop's one wait, from the kernel to the restart: SIGCHLD
// (blocked in every thread, Signals.h) stays pending on the signal
// descriptor until the poll below wakes on it; the children that ended are
// then reaped with waitpid and handed to their records (updateTerminated logs
// how each ended), and the service's next startServers starts them again.
// The same poll serves the termination signals, the records' deadlines
// (throttled starts, lifted throttles) and any plugged-in source.
#include "appserver/AppServerManager.h"

#include <poll.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "foundation/Exceptions.h"
#include "foundation/Log.h"
#include "servicectl/Signals.h"

namespace {

using Clock = std::chrono::steady_clock;

// The poll time-out for `deadline`: -1 for none, rounded up otherwise, since
// a wake a little before a deadline would find nothing due and wait again.
int TimeoutUntil(Clock::time_point deadline)
{
    if (deadline == Clock::time_point::max())
        return -1;
    auto now = Clock::now();
    if (deadline <= now)
        return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Sets the signals up once in this process (the service did it already when
// it runs as one), so that no child's end can pass unnoticed.
void EnsureSignalsWatched()
{
    if (servicectl::SignalDescriptor() < 0)
        servicectl::WatchSignals();
}

}  // namespace

void CAppServerManager::startServers()
{
    CatchWIException("CAppServerManagerImpl::startServers", [] { EnsureSignalsWatched(); });
    for (auto& process : mProcesses)
        CatchWIException("CAppServerManagerImpl::startServers", [&] { process.restart(); });
}

void CAppServerManager::waitAndUpdateTerminated(unsigned milliseconds)
{
    wait(Clock::now() + std::chrono::milliseconds(milliseconds));
}

void CAppServerManager::waitForEvents()
{
    wait(Clock::time_point::max());
}

void CAppServerManager::addSource(LoopSource* source)
{
    if (source != nullptr && std::find(mSources.begin(), mSources.end(), source) == mSources.end())
        mSources.push_back(source);
}

void CAppServerManager::removeSource(LoopSource* source)
{
    mSources.erase(std::remove(mSources.begin(), mSources.end(), source), mSources.end());
}

bool CAppServerManager::reapChildren()
{
    bool any = false;
    time_t now = time(nullptr);
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0)
            break;
        // Only a running record can own the child: an ended record keeps
        // the pid of its last child, which the kernel may since have given
        // to another server of this table. Children of no record are dropped.
        for (auto& process : mProcesses) {
            if (process.mPid != pid)
                continue;
            if (process.mState == ServerState::Running) {
                process.updateTerminated(status, now);
            } else if (process.mState == ServerState::Stopping) {
                // Ended as asked: no line, the stop is what the log shows.
                process.mState = ServerState::Ended;
                process.mStatus = status;
                process.mEndTime = now;
            } else {
                continue;
            }
            any = true;
            break;
        }
    }
    return any;
}

Clock::time_point CAppServerManager::nextDeadline() const
{
    if (mPhase != Phase::Supervising)
        return Clock::time_point::max();
    time_t earliest = 0;
    for (const auto& process : mProcesses) {
        time_t due = process.nextDeadline();
        if (due != 0 && (earliest == 0 || due < earliest))
            earliest = due;
    }
    if (earliest == 0)
        return Clock::time_point::max();
    // The records count in whole seconds of time(); the wait runs on the
    // steady clock. time() reads a coarse clock that turns to the next second
    // up to a clock tick late: waking a little after the turn makes sure
    // that it has turned.
    const auto kTickMargin = std::chrono::milliseconds(20);
    struct timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    auto left = std::chrono::seconds(earliest - wall.tv_sec) -
                std::chrono::nanoseconds(wall.tv_nsec) + kTickMargin;
    auto now = Clock::now();
    return left.count() <= 0 ? now : now + std::chrono::ceil<Clock::duration>(left);
}

void CAppServerManager::wait(Clock::time_point limit)
{
    EnsureSignalsWatched();
    // Ends that came before this wait are handed over without waiting.
    bool pending = mPhase != Phase::GentleStop && reapChildren();

    Clock::time_point deadline = std::min(limit, nextDeadline());
    std::vector<struct pollfd> fds;
    fds.push_back({servicectl::SignalDescriptor(), POLLIN, 0});
    // A source may add or remove sources while it is dispatched.
    std::vector<LoopSource*> sources = mSources;
    std::vector<size_t> first;
    for (LoopSource* source : sources) {
        first.push_back(fds.size());
        source->prepare(fds, deadline);
    }
    first.push_back(fds.size());

    if (poll(fds.data(), fds.size(), pending ? 0 : TimeoutUntil(deadline)) < 0 && errno != EINTR)
        throw CWIException(ERROR_GENERAL, "CAppServerManager::wait(): poll failed (%s)",
                           strerror(errno));
    Clock::time_point now = Clock::now();

    servicectl::ReadSignals();
    if (mPhase != Phase::GentleStop)
        reapChildren();
    if (mPhase == Phase::Supervising) {
        time_t wall = time(nullptr);
        for (auto& process : mProcesses)
            process.liftThrottle(wall);
    }
    for (size_t i = 0; i < sources.size(); ++i)
        if (std::find(mSources.begin(), mSources.end(), sources[i]) != mSources.end())
            sources[i]->dispatch(fds.data() + first[i], first[i + 1] - first[i], now);
}

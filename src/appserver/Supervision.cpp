// The supervision loop's one wait, from the kernel to the record: SIGCHLD
// (blocked in every thread, foundation/ChildEnds.h) stays pending on its signalfd until
// the poll below wakes on it; the children that ended are
// then reaped with waitpid and handed to their records (onEnd logs how each
// ended), and the service's next startServers starts them again. The same
// poll serves the shutdown requests' threads, the
// records' deadlines (throttled starts, lifted throttles, the steps of a
// stop) and any plugged-in source (the service's signals are one).
#include "appserver/AppServerManager.h"

#include <poll.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "endpoints/StopRequests.h"
#include "foundation/ChildEnds.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"
#include "foundation/ProcessLaunch.h"

namespace {

using Clock = std::chrono::steady_clock;

// Without an eventfd the requests' threads are looked at this often.
const auto kRequestPoll = std::chrono::milliseconds(20);

// The poll time-out for `deadline`: -1 for none, rounded up otherwise, since
// a wake a little before a deadline would find nothing due and wait again.
int TimeoutUntil(Clock::time_point deadline, Clock::time_point now)
{
    if (deadline == Clock::time_point::max())
        return -1;
    if (deadline <= now)
        return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// A new server starts on the CPU of the service, which its exec wakes: the
// service's lines, readings and probes would take that CPU from the start
// (a restart took a fifth longer for them). They wait this long, or until
// a server ends.
const auto kStartGiveWay = std::chrono::milliseconds(1);

void GiveWayToStarts()
{
    struct pollfd ends = {ChildEndDescriptor(), POLLIN, 0};
    // EINTR or an error only shortens the pause.
    poll(&ends, 1, static_cast<int>(kStartGiveWay.count()));
}

// The child-end descriptor is made once in this process, by the first use of
// the loop, before any child: none may end unseen.
void SetUpLoop()
{
    ChildEndDescriptor();
}

}  // namespace

void CAppServerManager::startServers()
{
    CatchWIException("CAppServerManagerImpl::startServers", [] { SetUpLoop(); });
    auto now = Clock::now();
    auto due = [&](const AppServerProcess& record) {
        return !mStopping && record.mState == ServerState::Down && record.mDeadline <= now;
    };
    // Several starts overlap their children's execs, which keeps both CPUs
    // busy. A single one waits for its exec: measured, a lone restart that
    // does not wait took a tenth longer.
    const bool several = std::count_if(mProcesses.begin(), mProcesses.end(), due) > 1;
    bool launched = false;
    for (auto& record : mProcesses)
        if (due(record))
            CatchWIException("CAppServerManagerImpl::startServers", [&] {
                record.mOverlapStart = several;
                record.onDeadline(now, &mEndLines);
                launched = launched || IsLive(record.mState);
            });
    // Every child is past its exec before the lines, the probes and any
    // signal; what failed in them is logged before their "started" lines.
    FinishLaunches();
    if (launched)
        GiveWayToStarts();
    writeEndLines();
}

void CAppServerManager::writeEndLines()
{
    for (const std::string& line : mEndLines)
        KXLogWrite(CLog::_pKXLog, "%s", line.c_str());
    mEndLines.clear();
}

void CAppServerManager::waitAndUpdateTerminated(unsigned milliseconds)
{
    wait(Clock::now() + std::chrono::milliseconds(milliseconds));
    writeEndLines();
}

void CAppServerManager::waitForEvents()
{
    // The service's next startServers writes the lines after its forks.
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

bool CAppServerManager::reapChildren(Clock::time_point now, std::vector<std::string>* later)
{
    if (mContained)
        return reapTrees(now, later);
    // Only a record with a process can own the child: an ended record keeps
    // the pid of its last child, which the kernel may since have given to
    // another server of this table. Children of no record are dropped.
    auto hand = [&](pid_t pid, int status) {
        for (auto& record : mProcesses)
            if (record.mPid == pid && HasProcess(record.mState)) {
                record.onEnd(status, now, later);
                return true;
            }
        return false;
    };
    bool any = false;
    std::vector<pid_t> signalled;
    signalled.swap(mSignalled);
    // The senders of the SIGCHLDs first; ends whose signals merged into
    // theirs are looked for in the next pass, after the starts these cause.
    for (pid_t wanted : signalled) {
        int status = 0;
        if (wanted > 0 && waitpid(wanted, &status, WNOHANG) == wanted)
            any = hand(wanted, status) || any;
    }
    while (mReapDue && signalled.empty()) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) {
            mReapDue = pid < 0 && errno != ECHILD;
            break;
        }
        any = hand(pid, status) || any;
    }
    return any;
}

void CAppServerManager::takeRequests(Clock::time_point now)
{
    for (const StopRequests::Done& done : mRequests->take()) {
        AppServerProcess* record = findRecord(done.id);
        // A record that ended meanwhile, or is asked again, ignores an old answer.
        if (record != nullptr && record->mRequest == done.serial) {
            record->mRequest = 0;
            record->onRequestDone(done.sent, done.sendStatus, now);
        }
    }
}

void CAppServerManager::launchRequests(Clock::time_point now)
{
    for (const StopRequests::NoThread& failed : mRequests->launch()) {
        AppServerProcess* record = findRecord(failed.id);
        if (record == nullptr)
            continue;
        // The others keep their request; this one gets the hard stop.
        if (record->mPurpose == StopPurpose::Shutdown)
            KXLogWrite(CLog::_pKXLog,
                       "gentleStopServers(): no stop thread for [%s]:%hu, left to the hard "
                       "stop: %s",
                       record->mHost.c_str(), record->mPort, failed.reason.c_str());
        else
            KXLogWrite(CLog::_pKXLog, "CServerControl: no thread for the stop of [%s]:%hu (%s)",
                       record->mHost.c_str(), record->mPort, failed.reason.c_str());
        record->mRequest = 0;
        record->onRequestDone(false, 0, now);
    }
}

void CAppServerManager::takeProbes(const std::vector<Probes::Result>& results,
                                   Clock::time_point now)
{
    for (const Probes::Result& result : results) {
        AppServerProcess* record = findRecord(result.id);
        if (record == nullptr)
            continue;
        if (result.kind == Probes::Kind::Ready) {
            if (!mContained || servesItself(*record))
                record->onReady(now);
        }
        else if (record->onProbe(result.ok, result.reason, now))
            queueRequest(*record);
    }
}

void CAppServerManager::fireDeadlines(Clock::time_point now)
{
    // The start row is startServers' to carry out, in the service's pass.
    for (auto& record : mProcesses)
        if (record.mState != ServerState::Down && record.mDeadline <= now &&
            record.onDeadline(now))
            queueRequest(record);
}

Clock::time_point CAppServerManager::nextDeadline(Clock::time_point now) const
{
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& record : mProcesses) {
        // A due start is startServers' business, not the wait's; a start
        // still to come (a fork to try again) wakes the wait.
        if (record.mState == ServerState::Down && (mStopping || record.mDeadline <= now))
            continue;
        earliest = std::min(earliest, record.mDeadline);
    }
    if (mRequests->queued())
        earliest = now;
    else if (mRequests->running() && mRequests->fd() < 0)
        earliest = std::min(earliest, now + kRequestPoll);
    return std::min(earliest, mNextProgress);
}

void CAppServerManager::wait(Clock::time_point limit)
{
    SetUpLoop();
    Clock::time_point now = Clock::now();
    // Ends that came before this wait are handed over without waiting, and
    // what the last pass started gets its probes. The lines of the ends
    // follow the restarts they cause (startServers writes them after its
    // forks): a restart's fork does not wait for the log.
    bool pending = reapChildren(now, &mEndLines);
    settle(now);

    Clock::time_point deadline = std::min(limit, nextDeadline(now));
    std::vector<struct pollfd> fds;
    fds.push_back({ChildEndDescriptor(), POLLIN, 0});
    fds.push_back({mRequests->fd(), POLLIN, 0});
    size_t probesFirst = fds.size();
    mProbes.prepare(fds, deadline);
    size_t probesEnd = fds.size();
    // A source may add or remove sources while it is dispatched.
    std::vector<LoopSource*> sources = mSources;
    std::vector<size_t> first;
    for (LoopSource* source : sources) {
        first.push_back(fds.size());
        source->prepare(fds, deadline);
    }
    first.push_back(fds.size());

    if (poll(fds.data(), fds.size(), pending ? 0 : TimeoutUntil(deadline, Clock::now())) < 0 &&
        errno != EINTR)
        throw CWIException(ERROR_GENERAL, "CAppServerManager::wait(): poll failed (%s)",
                           strerror(errno));
    now = Clock::now();

    // Only what the poll flagged is read.
    if (fds[0].revents != 0) {
        mSignalled = DrainChildEnds();
        mReapDue = true;
        reapChildren(now, &mEndLines);
    }
    if (fds[1].revents != 0 || fds[1].fd < 0)
        takeRequests(now);
    launchRequests(now);
    takeProbes(mProbes.dispatch(fds.data() + probesFirst, probesEnd - probesFirst, now), now);
    fireDeadlines(now);
    settle(now);
    if (mStopping && now >= mNextProgress)
        reportWaiting();
    for (size_t i = 0; i < sources.size(); ++i)
        if (std::find(mSources.begin(), mSources.end(), sources[i]) != mSources.end())
            sources[i]->dispatch(fds.data() + first[i], first[i + 1] - first[i], now);
}

#include "appserver/AppServerProcess.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "appserver/RecordViews.h"
#include "appserver/ServerTrees.h"
#include "config/TarvelEnv.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"
#include "foundation/ProcessLaunch.h"

namespace {

using Clock = AppServerProcess::Clock;

// True when `pid` is a child of ours that has not been reaped: it may be
// signalled without reaching a process that got its id later.
bool OurUnreapedChild(pid_t pid)
{
    if (pid <= 0)
        return false;
    siginfo_t info;
    memset(&info, 0, sizeof info);
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

bool FailedEnd(int status)
{
    return WaitEnd(status).failed();
}

// A handler's lines go to the caller's list for as long as it runs, also
// when it throws; without a list, to the log at once.
class LaterLines {
public:
    LaterLines(std::vector<std::string>*& slot, std::vector<std::string>* later) : mSlot(slot)
    {
        mSlot = later;
    }
    ~LaterLines() { mSlot = nullptr; }
    LaterLines(const LaterLines&) = delete;
    LaterLines& operator=(const LaterLines&) = delete;

private:
    std::vector<std::string>*& mSlot;
};

}  // namespace

void AppServerProcess::LogEnd(int status)
{
    WaitEnd end(status);
    if (end.exited && end.code != 0)
        say("Process::updateTerminated(): \"%s\" terminated with exit-state %d", mCommand.c_str(),
            end.code);
    else if (end.core)
        say("Process::updateTerminated(): \"%s\" terminated due to a segmentation fault (core "
            "dumped)",
            mCommand.c_str());
    else if (end.signal != 0)
        say("Process::updateTerminated(): \"%s\" terminated due to an unhandled signal #%d",
            mCommand.c_str(), end.signal);
}

AppServerProcess::AppServerProcess(const std::string& baseDir, const std::string& options,
                                   const std::string& host, unsigned short port, int bind)
    : mPort(port), mHost(host), mBaseDir(baseDir)
{
    mCommand = CTarvelEnv::perlDir() + "/bin/perl";
    if (!options.empty())
        mCommand += " " + options;
    mCommand += " " + CTarvelEnv::cartridgesDir() + "/DE_TARVEL/WebInterface/Scripts/appsrv.pl";
    if (!host.empty())
        mCommand += " -localip " + host;
    mCommand += " -port " + std::to_string(port);
    if (bind != 0)
        mCommand += " -bind";
}

ServerFacts AppServerProcess::facts(ServerEvent event, Clock::time_point now,
                                    const Argument& argument) const
{
    bool failure = event == ServerEvent::ForkFailed ||
                   (event == ServerEvent::End && FailedEnd(argument.status));
    ServerFacts f;
    f.purpose = event == ServerEvent::Stop ? TakenPurpose(mState, mPurpose, argument.purpose)
                                           : mPurpose;
    f.overThrottle = mFailCount > stoptimes::kThrottleFailures;
    f.failureThrottles = failure && now - mStarted < stoptimes::kQuickFailure &&
                         mFailCount + 1 > stoptimes::kThrottleFailures;
    f.probeLimit = event == ServerEvent::ProbeFailed && mProbeFailures + 1 >= mProbeLimit;
    return f;
}

unsigned AppServerProcess::apply(ServerEvent event, Clock::time_point now, const Argument& argument)
{
    const ServerRow* row = FindRow(mState, event, facts(event, now, argument));
    if (row == nullptr)
        return kNoAction;
    ServerState from = mState;
    mState = row->next;
    mChanged = mChanged || from != mState;
    auto wait = ServerWait(row->wait, mStartTimeout, mStopTimeout, mKillTimeout);
    if (row->base == DeadlineBase::Clear)
        mDeadline = Clock::time_point::max();
    else if (row->base == DeadlineBase::Now)
        mDeadline = now + wait;
    else if (row->base == DeadlineBase::LastStart)
        mDeadline = mStarted + wait;
    if (row->announce != Announcement::None) {
        mAnnounced = row->announce;
        mChanged = true;
    }
    carryOut(row->actions, now, argument);
    // The wait after a signal counts from the moment it went out: a pass
    // that took long before it (many records, a busy log) must not shorten it.
    if (row->base == DeadlineBase::Now && (row->actions & (kTerminate | kKill)) != 0) {
        auto late = Clock::now() - now;
        if (late > Clock::duration::zero())
            mDeadline += late;
    }
    return row->actions;
}

void AppServerProcess::say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string line(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        vsnprintf(&line[0], line.size() + 1, format, again);
    va_end(again);
    if (mLater != nullptr)
        mLater->push_back(line);
    else
        KXLogWrite(CLog::_pKXLog, "%s", line.c_str());
}

// The full stop's lines keep the name they always had; the stop of one
// server names the server.
std::string AppServerProcess::stopPrefix() const
{
    if (mPurpose == StopPurpose::Shutdown)
        return "stopServers(): ";
    return "Server [" + mHost + "]:" + std::to_string(mPort) + ": ";
}

void AppServerProcess::carryOut(unsigned action, Clock::time_point now, const Argument& argument)
{
    if (action & kTakePurpose)
        mPurpose = TakenPurpose(mState, mPurpose, argument.purpose);
    if (action & kLaunch)
        launch(now);
    if (action & kForkFailure) {
        countFailure(true, now);
        mFailure = "fork failed (" + argument.reason + ")";
    }
    if (action & kServe) {
        mReadySeconds = argument.seconds;
        if (mProbed)
            say("Server [%s]:%hu serving after %.3f s", mHost.c_str(), mPort, mReadySeconds);
    }
    if (action & kEnded) {
        countFailure(FailedEnd(argument.status), now);
        if (FailedEnd(argument.status))
            mFailure = DescribeEnd(argument.status) + heldBy();
        LogEnd(argument.status);
        mEndLogged = true;
    }
    if (action & kOutlived)
        sayOutlived(argument.left);
    if (action & kProbeMiss) {
        if (++mProbeFailures == 1)
            say("Server [%s]:%hu not answering: %s", mHost.c_str(), mPort, argument.reason.c_str());
    }
    if (action & kProbeHit) {
        if (mProbeFailures > 0)
            say("Server [%s]:%hu answers again", mHost.c_str(), mPort);
        mProbeFailures = 0;
    }
    if (action & kGiveUpStart) {
        // Given up like a quick failure, so that the throttle applies.
        long seconds = static_cast<long>(mStartTimeout.count());
        say("Server [%s]:%hu did not accept connections within %ld s", mHost.c_str(), mPort,
            seconds);
        mFailure = "did not accept connections within " + std::to_string(seconds) + " s" + heldBy();
        ++mFailCount;
        mPurpose = StopPurpose::Fail;
    }
    if (action & kGiveUpProbe) {
        say("Server [%s]:%hu failed %u liveness probes in a row; restarting it", mHost.c_str(),
            mPort, mProbeFailures);
        mFailure = "did not answer " + std::to_string(mProbeFailures) + " liveness probes";
        countFailure(true, now);
        mPurpose = StopPurpose::Fail;
    }
    carryOutNotify(action, now);
    carryOutStop(action, argument);
}

void AppServerProcess::carryOutStop(unsigned action, const Argument& argument)
{
    if ((action & kFailedShutdown) || ((action & kReaped) && argument.lost))
        say("Failed to shut down application server at [%s]:%hu after %lld sec. (%d)",
            mHost.c_str(), mPort, static_cast<long long>(mStopTimeout.count()), mSendStatus);
    if (action & kTerminate)
        signalTree(SIGTERM);
    if ((action & kKill) && signalTree(SIGKILL))
        say("%skilled \"%s\" (pid %d) after %lld s", stopPrefix().c_str(), mCommand.c_str(),
            static_cast<int>(mPid), static_cast<long long>(mKillTimeout.count()));
    // SIGKILL cannot be refused, but a process stuck in the kernel ends
    // only when it leaves it.
    if (action & kReportStuck)
        say("%s\"%s\" (pid %d) still running %lld s after SIGKILL", stopPrefix().c_str(),
            mCommand.c_str(), static_cast<int>(mPid), static_cast<long long>(mKillTimeout.count()));
    if ((action & kReportFailEnd) && !mEndLogged)
        say("Server [%s]:%hu ended with %s after its stop", mHost.c_str(), mPort,
            DescribeEnd(argument.status).c_str());
    if (action & kReportHeld)
        say("Server [%s]:%hu stopped by operator", mHost.c_str(), mPort);
    if (action & kLiftThrottle) {
        // Its end from now on would reset the count anyway; forgetting it now
        // lets the log say so when it happens.
        mFailCount = 0;
        mThrottleLogged = false;
        say("Process::restart(): \"%s\" runs again; throttle lifted", mCommand.c_str());
    }
    if ((action & kReportThrottle) && !mThrottleLogged) {
        mThrottleLogged = true;
        say("Process::restart(): \"%s\" failed %d times within %lld s; next start in %lld s",
            mCommand.c_str(), stoptimes::kThrottleFailures + 1,
            static_cast<long long>(stoptimes::kQuickFailure.count()),
            static_cast<long long>(stoptimes::kThrottleHold.count()));
    }
    if (action & kRelease) {
        // The operator asks for this start: an earlier run of failures does
        // not hold it back.
        mFailCount = 0;
        mThrottleLogged = false;
        mPurpose = StopPurpose::None;
    }
    if (action & kReadmit)
        mPurpose = StopPurpose::Restart;
}

bool AppServerProcess::signalChild(int signal)
{
    if (!OurUnreapedChild(mPid))
        return false;
    kill(mPid, signal);
    if (signal != SIGKILL)
        kill(mPid, SIGCONT);
    return true;
}

std::string AppServerProcess::heldBy() const
{
    if (mForeignHolder.empty())
        return "";
    return "; port " + std::to_string(mPort) + " is held by " + mForeignHolder +
           ", which is not this server";
}

bool AppServerProcess::signalTree(int signal)
{
    if (mTrees == nullptr)
        return signalChild(signal);
    return mTrees->signal(*this, signal) > 0;
}

void AppServerProcess::sayOutlived(const std::vector<pid_t>& left)
{
    std::string pids;
    for (size_t i = 0; i < left.size() && i < 20; ++i)
        pids += (i == 0 ? "" : ", ") + std::to_string(left[i]);
    if (left.size() > 20)
        pids += ", ...";
    say("Server [%s]:%hu: %zu process%s of its tree outlived it (pid%s %s); stopping %s",
        mHost.c_str(), mPort, left.size(), left.size() == 1 ? "" : "es",
        left.size() == 1 ? "" : "s", pids.c_str(), left.size() == 1 ? "it" : "them");
}

void AppServerProcess::countFailure(bool failure, Clock::time_point now)
{
    if (failure && now - mStarted < stoptimes::kQuickFailure) {
        ++mFailCount;
    } else {
        mFailCount = 0;
        mThrottleLogged = false;
    }
}

void AppServerProcess::launch(Clock::time_point now)
{
    if (!mNextCommand.empty()) {
        mCommand = mNextCommand;
        mNextCommand.clear();
    }
    mStartTime = time(nullptr);
    mStarted = now;
    mPurpose = StopPurpose::None;
    mLeaderGone = false;
    mEndLogged = false;
    mMeasured = false;
    mOverLimit = 0;
    mForeignHolder.clear();
    LaunchOptions options{mCommand, mOutputFile};
    bool frozen = false;
    options.cgroupFd = mTrees != nullptr ? mTrees->prepareStart(*this, &frozen) : -1;
    options.notifySocket = mNotifySocket;
    options.watchdogUsec = mWatchdogSetting;
    // A lone start waits for the exec in the kernel, without a bound; one
    // into a cgroup an operator froze would hold supervision until it is
    // thawed, so it takes the pass's bounded wait instead.
    options.overlap = mOverlapStart || frozen;
    mOverlapStart = false;  // for this start only
    forgetNotices();
    pid_t pid = LaunchProcess(options);
    if (pid < 0) {
        int error = errno;
        Argument argument;
        argument.reason = strerror(error);
        apply(ServerEvent::ForkFailed, now, argument);
        throw CWIException(ERROR_GENERAL, "Process::start(): failed to fork a new process (%s)",
                           strerror(error));
    }
    if (mPid != 0)
        ++mRestarts;
    mPid = pid;
    if (mTrees != nullptr)
        mTrees->started(*this, pid);
    mReadySeconds = -1;
    mProbeFailures = 0;
    say("Process::start(): started \"%s\"", mCommand.c_str());
    if (!mProbed)
        apply(ServerEvent::Ready, now);
}

void AppServerProcess::onReady(Clock::time_point now)
{
    Argument argument;
    argument.seconds = std::chrono::duration<double>(now - mStarted).count();
    apply(ServerEvent::Ready, now, argument);
}

bool AppServerProcess::onProbe(bool ok, const std::string& reason, Clock::time_point now)
{
    Argument argument;
    argument.reason = reason;
    return apply(ok ? ServerEvent::ProbeOk : ServerEvent::ProbeFailed, now, argument) &
           kSendRequest;
}

void AppServerProcess::onEnd(int status, Clock::time_point now, std::vector<std::string>* later)
{
    mStatus = status;
    mEndTime = time(nullptr);
    Argument argument;
    argument.status = status;
    LaterLines lines(mLater, later);
    apply(ServerEvent::End, now, argument);
}

void AppServerProcess::onLeaderEnd(int status, const std::vector<pid_t>& left,
                                   Clock::time_point now, std::vector<std::string>* later)
{
    mStatus = status;
    mEndTime = time(nullptr);
    mLeaderGone = true;
    Argument argument;
    argument.status = status;
    argument.purpose = StopPurpose::Fail;
    argument.left = left;
    LaterLines lines(mLater, later);
    apply(ServerEvent::Outlived, now, argument);
}

bool AppServerProcess::onDeadline(Clock::time_point now, std::vector<std::string>* later)
{
    LaterLines lines(mLater, later);
    return apply(ServerEvent::Deadline, now) & kSendRequest;
}

bool AppServerProcess::requestStop(StopPurpose purpose, Clock::time_point now)
{
    // Its tree as it is before the stop begins: a child that left the
    // session is proven by its parent only while that parent lives.
    if (mTrees != nullptr && IsLive(mState))
        mTrees->prove(*this);
    Argument argument;
    argument.purpose = purpose;
    return apply(ServerEvent::Stop, now, argument) & kSendRequest;
}

void AppServerProcess::onRequestDone(bool sent, int sendStatus, Clock::time_point now)
{
    if (mState != ServerState::StopRequested)
        return;
    mSendStatus = sendStatus;
    if (sent && !mLeaderGone && !OurUnreapedChild(mPid)) {
        // Not a child of ours any more: nothing to wait for, and its id must
        // not be signalled.
        Argument argument;
        argument.lost = true;
        argument.status = mStatus;
        apply(ServerEvent::End, now, argument);
        return;
    }
    apply(sent ? ServerEvent::RequestSent : ServerEvent::RequestFailed, now);
}

void AppServerProcess::release(Clock::time_point now)
{
    apply(ServerEvent::OperatorStart, now);
}

void AppServerProcess::readmit(Clock::time_point now)
{
    apply(ServerEvent::Readded, now);
}

time_t AppServerProcess::throttledUntil() const
{
    if (mState != ServerState::Throttled)
        return 0;
    // Counted from the start's wall time, so that the shown time does not
    // move between two looks.
    return mStartTime + std::chrono::duration_cast<std::chrono::seconds>(mDeadline - mStarted).count();
}

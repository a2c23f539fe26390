#include "appserver/AppServerProcess.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

#include "appserver/ProcessLaunch.h"
#include "appserver/RecordViews.h"
#include "config/TarvelEnv.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

namespace {

using Clock = AppServerProcess::Clock;

const int kThrottleFailures = 4;                  // more quick failures than this throttle
const auto kQuickFailure = std::chrono::seconds(60);  // an end within this time of the start is quick
const int kRequestWaitSeconds = 30;

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

void LogEnd(const std::string& command, int status)
{
    WaitEnd end(status);
    if (end.exited && end.code != 0)
        KXLogWrite(CLog::_pKXLog,
                   "Process::updateTerminated(): \"%s\" terminated with exit-state %d",
                   command.c_str(), end.code);
    else if (end.core)
        KXLogWrite(CLog::_pKXLog,
                   "Process::updateTerminated(): \"%s\" terminated due to a segmentation fault "
                   "(core dumped)",
                   command.c_str());
    else if (end.signal != 0)
        KXLogWrite(CLog::_pKXLog,
                   "Process::updateTerminated(): \"%s\" terminated due to an unhandled signal #%d",
                   command.c_str(), end.signal);
}

}  // namespace

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

ServerFacts AppServerProcess::facts() const
{
    ServerFacts f;
    f.purpose = mPurpose;
    f.overThrottle = mFailCount > kThrottleFailures;
    f.probeLimit = mProbeFailures >= mProbeLimit;
    f.startTimeout = mStartTimeout;
    return f;
}

ServerAction AppServerProcess::apply(ServerEvent event, Clock::time_point now)
{
    ServerTransition t = NextTransition(mState, event, facts());
    ServerState from = mState;
    mState = t.next;
    mChanged = mChanged || from != mState;
    if (t.base == DeadlineBase::None)
        mDeadline = Clock::time_point::max();
    else if (t.base == DeadlineBase::Now)
        mDeadline = now + t.wait;
    else if (t.base == DeadlineBase::LastStart)
        mDeadline = mStarted + t.wait;
    if (t.action == ServerAction::SendRequest)
        return t.action;
    carryOut(t.action, from, event);
    return ServerAction::None;
}

// The full stop's lines keep the name they always had; the stop of one
// server names the server.
std::string AppServerProcess::stopPrefix() const
{
    if (mPurpose == StopPurpose::Shutdown)
        return "stopServers(): ";
    return "Server [" + mHost + "]:" + std::to_string(mPort) + ": ";
}

void AppServerProcess::carryOut(ServerAction action, ServerState from, ServerEvent event)
{
    switch (action) {
    case ServerAction::Terminate:
        if (from == ServerState::StopRequested && event == ServerEvent::Deadline)
            reportFailedShutdown();
        signalChild(SIGTERM);
        break;
    case ServerAction::Kill:
        if (signalChild(SIGKILL))
            KXLogWrite(CLog::_pKXLog, "%skilled \"%s\" (pid %d) after 5 s", stopPrefix().c_str(),
                       mCommand.c_str(), static_cast<int>(mPid));
        break;
    case ServerAction::ReportStuck:
        // SIGKILL cannot be refused, but a process stuck in the kernel ends
        // only when it leaves it.
        KXLogWrite(CLog::_pKXLog, "%s\"%s\" (pid %d) still running 5 s after SIGKILL",
                   stopPrefix().c_str(), mCommand.c_str(), static_cast<int>(mPid));
        break;
    case ServerAction::LiftThrottle:
        // Its end from now on would reset the count anyway; forgetting it now
        // lets the log say so when it happens.
        mFailCount = 0;
        mThrottleLogged = false;
        KXLogWrite(CLog::_pKXLog, "Process::restart(): \"%s\" runs again; throttle lifted",
                   mCommand.c_str());
        break;
    case ServerAction::ReportThrottle:
        if (!mThrottleLogged) {
            mThrottleLogged = true;
            KXLogWrite(CLog::_pKXLog,
                       "Process::restart(): \"%s\" failed 5 times within 60 s; next start in "
                       "120 s",
                       mCommand.c_str());
        }
        break;
    default:
        break;
    }
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

void AppServerProcess::reportFailedShutdown() const
{
    KXLogWrite(CLog::_pKXLog,
               "Failed to shut down application server at [%s]:%hu after %d sec. (%d)",
               mHost.c_str(), mPort, kRequestWaitSeconds, mSendStatus);
}

bool AppServerProcess::startDue(Clock::time_point now) const
{
    return mState == ServerState::Down && mDeadline <= now;
}

void AppServerProcess::countFailure(bool failure, Clock::time_point now)
{
    if (failure && now - mStarted < kQuickFailure) {
        ++mFailCount;
    } else {
        mFailCount = 0;
        mThrottleLogged = false;
    }
}

void AppServerProcess::start(Clock::time_point now)
{
    if (!mNextCommand.empty()) {
        mCommand = mNextCommand;
        mNextCommand.clear();
    }
    mStartTime = time(nullptr);
    mStarted = now;
    mPurpose = StopPurpose::None;
    pid_t pid = LaunchProcess({mCommand, mOutputFile});
    if (pid < 0) {
        int error = errno;
        countFailure(true, now);
        mFailure = std::string("fork failed (") + strerror(error) + ")";
        apply(ServerEvent::ForkFailed, now);
        throw CWIException(ERROR_GENERAL, "Process::start(): failed to fork a new process (%s)",
                           strerror(error));
    }
    if (mPid != 0)
        ++mRestarts;
    mPid = pid;
    mReadySeconds = -1;
    mProbeFailures = 0;
    apply(ServerEvent::Forked, now);
    KXLogWrite(CLog::_pKXLog, "Process::start(): started \"%s\"", mCommand.c_str());
    if (!mProbed) {
        mReadySeconds = 0;
        apply(ServerEvent::Ready, now);
    }
}

void AppServerProcess::onReady(Clock::time_point now)
{
    if (mState != ServerState::Starting)
        return;
    mReadySeconds = std::chrono::duration<double>(now - mStarted).count();
    KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu serving after %.3f s", mHost.c_str(), mPort,
               mReadySeconds);
    apply(ServerEvent::Ready, now);
}

bool AppServerProcess::onProbe(bool ok, const std::string& reason, Clock::time_point now)
{
    if (mState != ServerState::Running && mState != ServerState::NotAnswering)
        return false;
    if (ok) {
        if (mProbeFailures > 0)
            KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu answers again", mHost.c_str(), mPort);
        mProbeFailures = 0;
        apply(ServerEvent::ProbeOk, now);
        return false;
    }
    if (++mProbeFailures == 1)
        KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu not answering: %s", mHost.c_str(), mPort,
                   reason.c_str());
    if (mProbeFailures >= mProbeLimit) {
        KXLogWrite(CLog::_pKXLog,
                   "Server [%s]:%hu failed %u liveness probes in a row; restarting it",
                   mHost.c_str(), mPort, mProbeFailures);
        mFailure = "did not answer " + std::to_string(mProbeFailures) + " liveness probes";
        countFailure(true, now);
        mPurpose = StopPurpose::Fail;
    }
    return apply(ServerEvent::ProbeFailed, now) == ServerAction::SendRequest;
}

void AppServerProcess::onEnd(int status, Clock::time_point now)
{
    bool stopping = mState == ServerState::StopRequested || mState == ServerState::Terminating ||
                    mState == ServerState::Killing;
    mStatus = status;
    mEndTime = time(nullptr);
    if (stopping) {
        // Ended as asked: no line, the stop is what the log shows.
        if (mPurpose == StopPurpose::Hold)
            KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu stopped by operator", mHost.c_str(),
                       mPort);
    } else {
        countFailure(FailedEnd(status), now);
        LogEnd(mCommand, status);
        if (FailedEnd(status))
            mFailure = DescribeEnd(status);
    }
    apply(ServerEvent::End, now);
}

bool AppServerProcess::onDeadline(Clock::time_point now)
{
    if (mState == ServerState::Starting) {
        // Given up like a quick failure, so that the throttle applies.
        long seconds = static_cast<long>(mStartTimeout.count());
        KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu did not accept connections within %ld s",
                   mHost.c_str(), mPort, seconds);
        mFailure = "did not accept connections within " + std::to_string(seconds) + " s";
        ++mFailCount;
        mPurpose = StopPurpose::Fail;
    }
    return apply(ServerEvent::Deadline, now) == ServerAction::SendRequest;
}

bool AppServerProcess::requestStop(StopPurpose purpose, Clock::time_point now)
{
    // A full stop or a removal outranks what an operator's stop would do next.
    if (mPurpose == StopPurpose::None || purpose == StopPurpose::Shutdown ||
        purpose == StopPurpose::Remove)
        mPurpose = purpose;
    return apply(ServerEvent::Stop, now) == ServerAction::SendRequest;
}

void AppServerProcess::onRequestDone(bool sent, int sendStatus, Clock::time_point now)
{
    if (mState != ServerState::StopRequested)
        return;
    mSendStatus = sendStatus;
    if (sent && !OurUnreapedChild(mPid)) {
        // Not a child of ours any more: nothing to wait for, and its id must
        // not be signalled.
        reportFailedShutdown();
        apply(ServerEvent::End, now);
        return;
    }
    apply(sent ? ServerEvent::RequestSent : ServerEvent::RequestFailed, now);
}

void AppServerProcess::release(Clock::time_point now)
{
    // The operator asks for this start: an earlier run of failures does not
    // hold it back.
    mFailCount = 0;
    mThrottleLogged = false;
    mPurpose = StopPurpose::None;
    apply(ServerEvent::Release, now);
}

time_t AppServerProcess::throttledUntil() const
{
    if (mState != ServerState::Throttled)
        return 0;
    // Counted from the start's wall time, so that the shown time does not
    // move between two looks.
    return mStartTime + std::chrono::duration_cast<std::chrono::seconds>(mDeadline - mStarted).count();
}

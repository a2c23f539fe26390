#include "appserver/RecordViews.h"

#include <sys/wait.h>

#include "appserver/ServerTrees.h"
#include "foundation/HostPort.h"

WaitEnd::WaitEnd(int waitStatus)
    : exited(WIFEXITED(waitStatus)),
      code(WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 0),
      signal(WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0),
      core(WIFSIGNALED(waitStatus) && WCOREDUMP(waitStatus))
{
}

std::string WaitEnd::describe() const
{
    if (signal != 0)
        return "signal " + std::to_string(signal);
    return "exit " + std::to_string(code);
}

ServerStatus StatusOf(const AppServerProcess& record, time_t now)
{
    ServerStatus s;
    s.address = record.mHost;
    s.port = record.mPort;
    bool runs = HasProcess(record.mState);
    s.pid = runs ? record.mPid : 0;
    s.state = ServerStateName(record.mState);
    if (record.throttled())
        s.throttledUntil = record.throttledUntil();
    s.ready = record.serving();
    s.readySeconds = s.ready ? record.mReadySeconds : -1;
    s.probeFailures = record.mProbeFailures;
    s.uptimeSeconds = runs ? static_cast<long>(now - record.mStartTime) : 0;
    s.restarts = record.mRestarts;
    s.pool = record.mPool;
    s.notifies = !record.mNotifySocket.empty();
    s.hasStatus = record.mHasStatus;
    s.statusText = record.mStatusText;
    s.stoppingNotified = record.mStoppingNotified;
    if (record.mEndTime != 0) {
        s.lastEnd = DescribeEnd(record.mStatus);
        s.lastEndTime = record.mEndTime;
    }
    if (record.mTrees != nullptr)
        s.containment = record.mTrees->modeName();
    s.measured = runs && record.mMeasured;
    if (s.measured)
        s.figures = record.mFigures;
    return s;
}

ServerMetrics MetricsOf(const AppServerProcess& record)
{
    ServerMetrics m;
    m.address = record.mHost;
    m.port = record.mPort;
    m.pool = record.mPool;
    m.state = ServerStateName(record.mState);
    m.up = record.serving();
    m.restarts = record.mRestarts;
    if (record.mEndTime != 0) {
        WaitEnd end(record.mStatus);
        m.lastSignal = end.signal;
        m.lastExitCode = end.exited ? end.code : -1;
    }
    m.startTime = static_cast<double>(record.mStartTime);
    m.readySeconds = record.serving() ? record.mReadySeconds : -1;
    m.probeFailures = record.mProbeFailures;
    m.throttled = record.throttled();
    m.measured = HasProcess(record.mState) && record.mMeasured;
    m.processes = static_cast<double>(record.mFigures.processes);
    m.memoryBytes = static_cast<double>(record.mFigures.memoryBytes);
    m.cpuSeconds = record.mFigures.cpuSeconds;
    m.recycles = record.mRecycles;
    return m;
}

namespace {

const unsigned kNamed = 10;

// Why `record` does not serve, in a few words.
std::string WhyNot(const AppServerProcess& record)
{
    switch (record.mState) {
    case ServerState::Throttled:
        return "throttled after " + std::to_string(record.mFailCount) + " failed starts";
    case ServerState::Held:
        return "stopped by operator";
    default:
        break;
    }
    if (!record.mFailure.empty())
        return "failed: " + record.mFailure;
    return ServerStateName(record.mState);
}

}  // namespace

ServingSummary SummarizeServing(const std::vector<AppServerProcess>& records)
{
    ServingSummary summary;
    std::string named, status;
    unsigned notServing = 0;
    for (const AppServerProcess& record : records) {
        ++summary.total;
        if (record.serving()) {
            ++summary.serving;
            continue;
        }
        bool gaveUp = record.mState == ServerState::Throttled ||
                      record.mState == ServerState::Held || !record.mFailure.empty();
        summary.settled = summary.settled && gaveUp;
        if (++notServing > kNamed)
            continue;
        std::string name = FormatEndpoint(record.mHost, record.mPort);
        named += "; " + name + " " + WhyNot(record);
        status += (status.empty() ? "" : ", ") + name + " (" + ServerStateName(record.mState) + ")";
    }
    if (notServing > kNamed) {
        named += "; and " + std::to_string(notServing - kNamed) + " more";
        status += ", ...";
    }
    summary.line = std::to_string(summary.serving) + " of " + std::to_string(summary.total) +
                   " servers serving" + named;
    if (!summary.allServing())
        summary.line += "; the service keeps trying";
    summary.notServing = status;
    return summary;
}

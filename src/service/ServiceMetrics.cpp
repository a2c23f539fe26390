#include "service/ServiceMetrics.h"

#include <sys/wait.h>

#include "appserver/Metrics.h"
#include "config/TarvelEnv.h"

namespace {

ServerMetrics MetricsOf(const AppServerProcess& record)
{
    ServerMetrics m;
    m.address = record.mHost;
    m.port = record.mPort;
    m.state = ServerStateName(record.mState);
    m.up = record.serving();
    m.restarts = record.mRestarts;
    if (record.mEndTime != 0) {
        if (WIFSIGNALED(record.mStatus))
            m.lastSignal = WTERMSIG(record.mStatus);
        else
            m.lastExitCode = WEXITSTATUS(record.mStatus);
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

}  // namespace

std::string ServiceMetricsText(const CAppServerManager& manager, const ReloadCounts& counts)
{
    ServiceMetrics service;
    service.version = TARVELSVC_VERSION;
    service.installation = CTarvelEnv::baseDir();
    service.reloads = counts.reloads;
    service.reloadFailures = counts.failures;
    for (ServerState state : kServerStates)
        service.stateNames.push_back(ServerStateName(state));
    if (manager.trees() != nullptr)
        service.containment = manager.trees()->modeName();
    std::vector<ServerMetrics> servers;
    servers.reserve(manager.processes().size());
    for (const AppServerProcess& record : manager.processes())
        servers.push_back(MetricsOf(record));
    return RenderMetrics(service, servers, ReadProcessMetrics());
}

#include "appserver/ServerTrees.h"

size_t ServerTrees::signal(const AppServerProcess& record, int sig)
{
    pid_t leader = HasProcess(record.mState) && !record.mLeaderGone ? record.mPid : 0;
    return ProcessTrees::signal(record.mId, sig, leader);
}

void ServerTrees::measure(std::vector<AppServerProcess>& records)
{
    std::vector<uint64_t> ids;
    std::vector<AppServerProcess*> measured;
    for (AppServerProcess& record : records) {
        if (HasProcess(record.mState)) {
            ids.push_back(record.mId);
            measured.push_back(&record);
        }
    }
    std::vector<TreeReading> readings = ProcessTrees::measure(ids);
    for (size_t i = 0; i < measured.size(); ++i) {
        measured[i]->mMeasured = readings[i].measured;
        measured[i]->mFigures = readings[i].figures;
    }
}

void ServerTrees::stopLeftovers(const std::vector<AppServerProcess>& records, const std::string& runDir,
                                std::chrono::seconds killTimeout)
{
    std::vector<TreeServer> servers;
    servers.reserve(records.size());
    for (const AppServerProcess& record : records)
        servers.push_back({record.mHost, record.mPort});
    ProcessTrees::stopLeftovers(servers, runDir, killTimeout);
}

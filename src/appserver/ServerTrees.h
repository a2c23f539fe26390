// The servers' process trees as the records see them: each record's tree is
// the one named by its id, started for its address. The manager owns it;
// the records reach it through AppServerProcess::mTrees. What is not about
// a record (by id, the loop source, the mode) is ProcessTrees's own.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "appserver/AppServerProcess.h"
#include "foundation/ProcessTrees.h"

class ServerTrees : public ProcessTrees {
public:
    // The cgroup directory `record` is to be started in; -1 for none.
    int prepareStart(const AppServerProcess& record, bool* frozen)
    {
        return ProcessTrees::prepareStart(record.mId, {record.mHost, record.mPort}, frozen);
    }
    // The start made process `pid`: the root of the record's tree.
    void started(const AppServerProcess& record, pid_t pid) { ProcessTrees::started(record.mId, pid); }
    // Sends `sig` to the record's whole tree, its leader first while it
    // runs; how many processes were reached.
    size_t signal(const AppServerProcess& record, int sig);
    // The tree's members now, proof for the later rounds of a stop.
    void prove(const AppServerProcess& record) { ProcessTrees::prove(record.mId); }
    // True when the record's address and port listen in its own tree; else
    // `holder` names who does (see ProcessTrees::servesItself).
    bool servesItself(const AppServerProcess& record, std::string& holder)
    {
        return ProcessTrees::servesItself(record.mId, record.mTarget.address, record.mPort, holder);
    }
    // Reads the figures of every record with a process into its mFigures
    // and mMeasured.
    void measure(std::vector<AppServerProcess>& records);
    // Stops what an earlier service left of the trees (see
    // ProcessTrees::stopLeftovers); `records` name the servers in its lines.
    void stopLeftovers(const std::vector<AppServerProcess>& records, const std::string& runDir,
                       std::chrono::seconds killTimeout);
};

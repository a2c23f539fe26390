// The tests' (and the stop benchmark's) one way into the manager's table and
// into a record's state: records are added (with the id buildTables would
// give them) and placed in a state here, where a real run would need a
// configuration or a history. No test writes a record's state by hand.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "appserver/AppServerManager.h"

struct ManagerTestPeer {
    static std::vector<AppServerProcess>& records(CAppServerManager& manager)
    {
        return manager.mProcesses;
    }
    // Adds `record` to the table with a fresh id; returns the table's copy.
    static AppServerProcess& add(CAppServerManager& manager, AppServerProcess record)
    {
        record.mId = manager.mNextId++;
        manager.mProcesses.push_back(std::move(record));
        return manager.mProcesses.back();
    }
    // True when the start row would fire for `record` at `now`.
    static bool dueToStart(const AppServerProcess& record, AppServerProcess::Clock::time_point now)
    {
        return record.mState == ServerState::Down && record.mDeadline <= now;
    }
    // Puts `record` in `state` with the process `pid` and the stop's
    // `purpose`, as the machine would have left it.
    static void place(AppServerProcess& record, ServerState state, pid_t pid = 0,
                      StopPurpose purpose = StopPurpose::None)
    {
        record.mState = state;
        record.mPid = pid;
        record.mPurpose = purpose;
    }
};

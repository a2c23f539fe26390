// The full stop: every record enters the one stop sequence at once, and the
// loop's wait runs until no server is left. The shutdown requests go out in
// threads of their own (StopRequests); the wait reaps and escalates by the
// records' deadlines, as for a single server's stop.
#include "appserver/AppServerManager.h"

#include <algorithm>
#include <string>

#include "endpoints/StopRequests.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

namespace {

// How often the log tells which servers are still being waited for, and how
// many of them it names.
const auto kProgressInterval = std::chrono::seconds(5);
const size_t kProgressNames = 10;

std::string Address(const AppServerProcess& record)
{
    // A record without a host serves every address of the host.
    return (record.mHost.empty() ? "*" : record.mHost) + ":" + std::to_string(record.mPort);
}

}  // namespace

bool CAppServerManager::stopServers()
{
    mStopping = true;
    writeEndLines();
    auto now = Clock::now();
    for (auto& record : mProcesses)
        beginStop(record, StopPurpose::Shutdown, now);
    mNextProgress = now + kProgressInterval;
    while (!stopFinished())
        CatchWIException("gentleStopServers", [&] {
            wait(Clock::time_point::max());
            writeEndLines();
        });
    // A request may still be on its way to a server that ended meanwhile;
    // its thread logs, and the process may exit right after this stop.
    mRequests->waitIdle();
    mNextProgress = Clock::time_point::max();
    bool noneLeft = std::none_of(mProcesses.begin(), mProcesses.end(),
                                 [](const AppServerProcess& r) { return HasProcess(r.mState); });
    if (noneLeft && mContained)
        mTrees->removeParent();
    return noneLeft;
}

// Done when no record has a process, or those left outlived SIGKILL and
// were reported: nothing more can be done for them.
bool CAppServerManager::stopFinished() const
{
    return std::all_of(mProcesses.begin(), mProcesses.end(), [](const AppServerProcess& r) {
        return !HasProcess(r.mState) || r.stuck();
    });
}

void CAppServerManager::reportWaiting()
{
    auto now = Clock::now();
    while (mNextProgress <= now)
        mNextProgress += kProgressInterval;
    std::string names;
    size_t waiting = 0;
    for (const auto& record : mProcesses) {
        if (record.mState != ServerState::StopRequested)
            continue;
        if (++waiting <= kProgressNames)
            names += (names.empty() ? "" : ", ") + Address(record);
    }
    if (waiting > kProgressNames)
        names += ", ...";
    if (waiting > 0)
        KXLogWrite(CLog::_pKXLog, "gentleStopServers(): waiting for %zu server(s): %s", waiting,
                   names.c_str());
}

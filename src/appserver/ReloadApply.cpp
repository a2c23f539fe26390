// A reload's plan carried out on the table, as far as it can be at once:
// the rolling restarts of the servers that run are the caller's to pace.
#include "appserver/AppServerManager.h"

#include "foundation/HostPort.h"
#include "foundation/Log.h"

CAppServerManager::Applied CAppServerManager::applyReload(const ReloadPlan& plan,
                                                          const Waiter& removed)
{
    Applied applied;
    auto now = Clock::now();
    for (const AppServerProcess& fresh : plan.added) {
        KXLogWrite(CLog::_pKXLog, "Reload: new server [%s]:%hu", fresh.mHost.c_str(), fresh.mPort);
        applied.lines.push_back("added " + FormatEndpoint(fresh.mHost, fresh.mPort));
        mProcesses.push_back(fresh);
        mProcesses.back().mId = mNextId++;
        mProcesses.back().mChanged = true;
    }
    for (const ReloadPlan::Change& change : plan.changed) {
        KXLogWrite(CLog::_pKXLog, "Reload: command line of [%s]:%hu changed: \"%s\"",
                   change.host.c_str(), change.port, change.command.c_str());
        AppServerProcess* record = findRecord(change.host, change.port);
        if (record == nullptr)
            continue;
        if (record->mPurpose == StopPurpose::Remove && IsStopping(record->mState)) {
            // Taken back before its removal ended: it starts again with the new command.
            record->readmit(now);
        } else if (IsLive(record->mState) && mWaiters.count(record->mId) == 0) {
            applied.rolling.push_back(change);
            continue;
        }
        setCommand(*record, change.command);
        applied.lines.push_back("changed " + FormatEndpoint(change.host, change.port));
    }
    for (const ReloadPlan::Change& change : plan.removed) {
        KXLogWrite(CLog::_pKXLog, "Reload: server [%s]:%hu removed", change.host.c_str(),
                   change.port);
        AppServerProcess* record = findRecord(change.host, change.port);
        if (record == nullptr)
            continue;
        // Whoever waited for this server hears that it is gone; a server
        // without a process goes at once, the others with their process.
        announce(*record, Outcome::Removed);
        if (HasProcess(record->mState)) {
            mWaiters[record->mId] = removed;
            ++applied.removing;
        } else {
            applied.lines.push_back("removed " + FormatEndpoint(change.host, change.port));
        }
        beginStop(*record, StopPurpose::Remove, now);
    }
    settle(now);
    return applied;
}

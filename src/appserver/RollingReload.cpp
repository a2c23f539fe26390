// A reload as one operation of the manager: what the plan changes at once
// (ReloadApply.cpp), then the changed servers that run restart one at a
// time, so that a pool keeps serving. No step is polled for: each begins
// on the announcement of the one before, and the listener hears each and
// the summary.
#include "appserver/AppServerManager.h"

#include "foundation/HostPort.h"
#include "foundation/Log.h"

void CAppServerManager::reload(const ReloadPlan& plan, ReloadListener listener)
{
    mReload = std::make_unique<Rollout>();
    mReload->listener = std::move(listener);
    mReload->added = static_cast<unsigned>(plan.added.size());
    mReload->changed = static_cast<unsigned>(plan.changed.size());
    mReload->removed = static_cast<unsigned>(plan.removed.size());
    mReload->unchanged = plan.unchanged;
    Applied applied = applyReload(
        plan, [this](Outcome, const AppServerProcess& record) { onRemoved(record); });
    if (!mReload)
        return;
    mReload->rolling.assign(applied.rolling.begin(), applied.rolling.end());
    mReload->removing = applied.removing;
    std::string lines;
    for (const std::string& line : applied.lines)
        lines += line + "\n";
    mReload->listener(lines, false, true);
    advanceReload();
}

void CAppServerManager::forgetReload()
{
    mReload.reset();
}

void CAppServerManager::onRemoved(const AppServerProcess& record)
{
    if (!mReload)
        return;
    mReload->listener("removed " + FormatEndpoint(record.mHost, record.mPort) + "\n", false, true);
    if (mReload->removing > 0)
        --mReload->removing;
    advanceReload();
}

void CAppServerManager::onRolled(Outcome outcome, const AppServerProcess& record)
{
    if (!mReload)
        return;
    mReload->rollingNow = false;
    std::string name = FormatEndpoint(record.mHost, record.mPort);
    if (outcome == Outcome::Started)
        mReload->listener("restarted " + name + "\n", false, true);
    else if (outcome == Outcome::Failed)
        stopRollout(name + " does not serve: " +
                    (record.mFailure.empty() ? "it ended" : record.mFailure) + " (see the log)\n");
    advanceReload();
}

void CAppServerManager::stopRollout(const std::string& line)
{
    mReload->failed = true;
    unsigned left = static_cast<unsigned>(mReload->rolling.size());
    for (const ReloadPlan::Change& change : mReload->rolling)
        deferCommand(change.host, change.port, change.command);
    mReload->rolling.clear();
    KXLogWrite(CLog::_pKXLog, "Reload: rolling restart stopped: %.*s",
               static_cast<int>(line.size() - 1), line.c_str());
    mReload->listener(line + std::to_string(left) +
                          " more changed server(s) keep their process and take the new command "
                          "line at their next start\n",
                      false, true);
}

void CAppServerManager::advanceReload()
{
    if (!mReload)
        return;
    while (!mReload->rollingNow && !mReload->rolling.empty()) {
        ReloadPlan::Change next = mReload->rolling.front();
        mReload->rolling.pop_front();
        Request result = restartServer(
            next.host, next.port, next.command,
            [this](Outcome outcome, const AppServerProcess& r) { onRolled(outcome, r); });
        if (result == Request::Accepted) {
            mReload->rollingNow = true;
            return;
        }
        // Not running any more: its next start takes the new command.
        mReload->listener("changed " + FormatEndpoint(next.host, next.port) + "\n", false, true);
    }
    if (mReload->rollingNow || mReload->removing > 0)
        return;
    std::string summary = std::to_string(mReload->added) + " added, " +
                          std::to_string(mReload->removed) + " removed, " +
                          std::to_string(mReload->changed) + " changed, " +
                          std::to_string(mReload->unchanged) + " unchanged";
    KXLogWrite(CLog::_pKXLog, "Reload: %s", summary.c_str());
    std::unique_ptr<Rollout> done = std::move(mReload);
    done->listener(summary + "\n", true, !done->failed);
}

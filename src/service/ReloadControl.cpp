// The reload as the control channel runs it: the new table is loaded and
// compared with the running one, the manager carries out what it can at
// once, and the changed servers that run are restarted one at a time, so
// that a pool keeps serving. The caller hears each step and the summary.
#include "service/ServerControl.h"

#include "config/ServiceSettings.h"
#include "foundation/Log.h"
#include "service/SystemdNotifier.h"

void CServerControl::handleReload(ClientId client)
{
    if (mReload) {
        replyTo(client, "ERROR a reload is in progress\n", true);
        return;
    }
    mNotifier.reloading();
    std::vector<AppServerProcess> table;
    ServiceSettings settings;
    try {
        settings = LoadServiceSettings(ServiceSettingsFile());
        table = mManager.loadTable(true);
    } catch (std::exception& e) {
        KXLogWrite(CLog::_pKXLog, "Reload failed, nothing changed: %s", e.what());
        ++mReloadCounts.failures;
        mNotifier.ready();
        replyTo(client, std::string("ERROR ") + e.what() + "\n", true);
        return;
    }
    if (settings != mManager.settings()) {
        KXLogWrite(CLog::_pKXLog, "Reload: settings of %s applied", ServiceSettingsFile().c_str());
        mManager.setSettings(settings);
        applyMetricsListen(client);
    }
    ReloadPlan plan = PlanReload(mManager.processes(), table);
    mReload = std::make_unique<Reload>();
    mReload->client = client;
    mReload->added = static_cast<unsigned>(plan.added.size());
    mReload->changed = static_cast<unsigned>(plan.changed.size());
    mReload->removed = static_cast<unsigned>(plan.removed.size());
    mReload->unchanged = plan.unchanged;

    CAppServerManager::Applied applied = mManager.applyReload(
        plan, [this](Outcome, const AppServerProcess& record) { onRemoved(record); });
    mReload->rolling.assign(applied.rolling.begin(), applied.rolling.end());
    mReload->removing = applied.removing;
    std::string lines;
    for (const std::string& line : applied.lines)
        lines += line + "\n";
    replyTo(client, lines, false);
    checkReload();
}

void CServerControl::onRemoved(const AppServerProcess& record)
{
    if (!mReload)
        return;
    replyTo(mReload->client, "removed " + FormatEndpoint(record.mHost, record.mPort) + "\n", false);
    if (mReload->removing > 0)
        --mReload->removing;
    checkReload();
}

void CServerControl::nextRollingRestart()
{
    while (!mReload->rollingNow && !mReload->rolling.empty()) {
        ReloadPlan::Change next = mReload->rolling.front();
        mReload->rolling.pop_front();
        auto result = mManager.restartServer(
            next.host, next.port, next.command,
            waiterFor(0, FormatEndpoint(next.host, next.port), true));
        if (result == CAppServerManager::Request::Accepted) {
            mReload->rollingNow = true;
            return;
        }
        mPending.pop_back();
        // Not running any more: its next start takes the new command.
        replyTo(mReload->client, "changed " + FormatEndpoint(next.host, next.port) + "\n", false);
    }
}

void CServerControl::stopRollout(const std::string& line)
{
    if (!mReload)
        return;
    mReload->rollingNow = false;
    mReload->failed = true;
    unsigned left = static_cast<unsigned>(mReload->rolling.size());
    for (const ReloadPlan::Change& change : mReload->rolling)
        mManager.deferCommand(change.host, change.port, change.command);
    mReload->rolling.clear();
    KXLogWrite(CLog::_pKXLog, "Reload: rolling restart stopped: %.*s", static_cast<int>(line.size() - 1),
               line.c_str());
    replyTo(mReload->client,
            line + std::to_string(left) +
                " more changed server(s) keep their process and take the new command line at "
                "their next start\n",
            false);
}

void CServerControl::checkReload()
{
    if (!mReload)
        return;
    nextRollingRestart();
    if (mReload->rollingNow || !mReload->rolling.empty() || mReload->removing > 0)
        return;
    std::string summary = std::to_string(mReload->added) + " added, " +
                          std::to_string(mReload->removed) + " removed, " +
                          std::to_string(mReload->changed) + " changed, " +
                          std::to_string(mReload->unchanged) + " unchanged";
    KXLogWrite(CLog::_pKXLog, "Reload: %s", summary.c_str());
    ++(mReload->failed ? mReloadCounts.failures : mReloadCounts.reloads);
    mNotifier.ready();
    replyTo(mReload->client,
            summary + (mReload->failed ? "\nERROR the rolling restart stopped at a server that "
                                         "does not serve\n"
                                       : "\nOK\n"),
            true);
    mReload.reset();
}

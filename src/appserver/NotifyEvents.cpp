// The notification socket's events, from the sender's pid to its record:
// who sent it, what it changes, and the watchdogs its WATCHDOG=1 keep.
#include <algorithm>
#include <map>

#include "appserver/AppServerManager.h"

void CAppServerManager::setNotifySocket(const NotifySocket* socket)
{
    mNotifySocket = socket;
    mNotifyPath = socket != nullptr ? socket->path() : std::string();
    for (auto& record : mProcesses)
        configure(record);
}

void CAppServerManager::configureNotify(AppServerProcess& record) const
{
    bool watchdog = mProbing && mSettings.liveness == LivenessProbe::Watchdog;
    bool hears = mProbing && HearsNotify(mSettings.readiness);
    bool socket = !mNotifyPath.empty() && (hears || watchdog);
    record.mNotifySocket = socket ? mNotifyPath : std::string();
    record.mHearsReady = socket && hears;
    record.mWatchdogSetting =
        socket && watchdog ? static_cast<uint64_t>(mSettings.livenessInterval) * 1000000u : 0;
}

uint64_t CAppServerManager::serverOfSender(pid_t sender) const
{
    // Only a record with a process may own a sender: an ended one keeps the
    // pid of its last child, which the kernel may have given to another.
    std::map<pid_t, uint64_t> servers;
    for (const auto& record : mProcesses)
        if (HasProcess(record.mState) && record.mPid > 0 && !record.mNotifySocket.empty())
            servers.emplace(record.mPid, record.mId);
    return ServerOfSender(sender, servers);
}

void CAppServerManager::takeNotices(const std::vector<NotifyEvent>& events, Clock::time_point now)
{
    for (const NotifyEvent& event : events) {
        AppServerProcess* record = findRecord(event.server);
        if (record != nullptr && record->onNotify(event, now))
            queueRequest(*record);
    }
    for (auto& record : mProcesses)
        if (record.serving() && record.mWatchdogDeadline <= now && record.onWatchdogMissed(now))
            queueRequest(record);
}

CAppServerManager::Clock::time_point CAppServerManager::nextWatchdog() const
{
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& record : mProcesses)
        if (record.serving())
            earliest = std::min(earliest, record.mWatchdogDeadline);
    return earliest;
}

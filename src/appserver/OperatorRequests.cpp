// The operator's requests on one server and the reload, as changes of the
// records: each runs the same machine as supervision and the full stop, and
// the waiter of a request hears once how it ended.
#include "appserver/AppServerManager.h"

#include <algorithm>
#include <utility>

#include "endpoints/StopRequests.h"
#include "foundation/Log.h"

AppServerProcess* CAppServerManager::findRecord(uint64_t id)
{
    for (auto& record : mProcesses)
        if (record.mId == id)
            return &record;
    return nullptr;
}

AppServerProcess* CAppServerManager::findRecord(const std::string& host, unsigned short port)
{
    // The table is this manager's own: the record found may be changed.
    return const_cast<AppServerProcess*>(std::as_const(*this).find(host, port));
}

const AppServerProcess* CAppServerManager::find(const std::string& host, unsigned short port) const
{
    for (const auto& record : mProcesses)
        if (record.mHost == host && record.mPort == port)
            return &record;
    return nullptr;
}

void CAppServerManager::beginStop(AppServerProcess& record, StopPurpose purpose,
                                  Clock::time_point now)
{
    if (record.requestStop(purpose, now))
        queueRequest(record);
}

void CAppServerManager::queueRequest(AppServerProcess& record)
{
    record.mRequest = mRequests->queue(record.mId, record.mHost, record.mPort);
}

void CAppServerManager::announce(const AppServerProcess& record, Outcome outcome)
{
    auto it = mWaiters.find(record.mId);
    if (it == mWaiters.end())
        return;
    Waiter waiter = std::move(it->second);
    mWaiters.erase(it);
    if (waiter)
        waiter(outcome, record);
}

void CAppServerManager::settle(Clock::time_point now)
{
    for (size_t i = 0; i < mProcesses.size();) {
        AppServerProcess& record = mProcesses[i];
        if (record.mChanged) {
            record.mChanged = false;
            ++mChanges;
            syncProbes(record, now);
        }
        Outcome news = record.mAnnounced;
        record.mAnnounced = Announcement::None;
        if (news == Announcement::Removed) {
            mProbes.cancel(record.mId);
            ++mChanges;
            AppServerProcess gone = record;
            mProcesses.erase(mProcesses.begin() + static_cast<long>(i));
            announce(gone, news);
            continue;
        }
        if (news != Announcement::None)
            announce(record, news);
        ++i;
    }
}

void CAppServerManager::syncProbes(AppServerProcess& record, Clock::time_point now)
{
    Probes::Kind kind;
    bool active = mProbes.active(record.mId, kind);
    bool live = mProbing && mSettings.liveness != LivenessProbe::None &&
                mSettings.liveness != LivenessProbe::Watchdog && record.mTarget.length != 0;
    // A server that only tells its readiness on the socket is not connected to.
    bool connects = ProbesTcp(mSettings.readiness) && record.mTarget.length != 0;
    if (record.mState == ServerState::Starting && record.mProbed && connects) {
        if (!active || kind != Probes::Kind::Ready)
            mProbes.awaitReady(record.mId, record.mTarget, now);
    } else if (record.serving() && live) {
        if (!active || kind != Probes::Kind::Alive) {
            Probes::Liveness liveness;
            if (mSettings.liveness == LivenessProbe::Http)
                liveness.httpPath = mSettings.livenessPath;
            liveness.interval = std::chrono::seconds(mSettings.livenessInterval);
            liveness.timeout = std::chrono::seconds(mSettings.livenessTimeout);
            mProbes.watch(record.mId, record.mTarget, liveness, now);
        }
    } else if (active) {
        mProbes.cancel(record.mId);
    }
}

AppServerProcess* CAppServerManager::requestable(const std::string& host, unsigned short port,
                                                bool& busy)
{
    AppServerProcess* record = findRecord(host, port);
    busy = record != nullptr && (IsStopping(record->mState) || mWaiters.count(record->mId) != 0);
    return record;
}

CAppServerManager::Request CAppServerManager::stopServer(const std::string& host,
                                                         unsigned short port, Waiter waiter)
{
    bool busy = false;
    AppServerProcess* record = requestable(host, port, busy);
    if (record == nullptr || busy)
        return record == nullptr ? Request::NoServer : Request::Busy;
    auto now = Clock::now();
    if (!IsLive(record->mState)) {
        record->requestStop(StopPurpose::Hold, now);
        return Request::AlreadyHeld;
    }
    KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu: stop by operator", host.c_str(), port);
    mWaiters[record->mId] = std::move(waiter);
    beginStop(*record, StopPurpose::Hold, now);
    return Request::Accepted;
}

CAppServerManager::Request CAppServerManager::startServer(const std::string& host,
                                                          unsigned short port, Waiter waiter)
{
    bool busy = false;
    AppServerProcess* record = requestable(host, port, busy);
    if (record == nullptr || busy)
        return record == nullptr ? Request::NoServer : Request::Busy;
    return start(*record, std::move(waiter));
}

CAppServerManager::Request CAppServerManager::start(AppServerProcess& record, Waiter waiter)
{
    if (IsLive(record.mState))
        return Request::AlreadyRunning;
    KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu started by operator", record.mHost.c_str(),
               record.mPort);
    mWaiters[record.mId] = std::move(waiter);
    record.release(Clock::now());
    return Request::Accepted;
}

CAppServerManager::Request CAppServerManager::restartServer(const std::string& host,
                                                            unsigned short port,
                                                            const std::string& command,
                                                            Waiter waiter)
{
    bool busy = false;
    AppServerProcess* record = requestable(host, port, busy);
    if (record == nullptr)
        return Request::NoServer;
    if (!command.empty() && (busy || !IsLive(record->mState))) {
        setCommand(*record, command);
        return Request::Deferred;
    }
    if (busy)
        return Request::Busy;
    if (!IsLive(record->mState))
        return start(*record, std::move(waiter));
    if (command.empty())
        KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu: restart by operator", host.c_str(), port);
    else
        record->mNextCommand = command;
    mWaiters[record->mId] = std::move(waiter);
    beginStop(*record, StopPurpose::Restart, Clock::now());
    return Request::Accepted;
}

void CAppServerManager::setCommand(AppServerProcess& record, const std::string& command)
{
    // A process runs the old command to its end; the next start takes the new one.
    if (HasProcess(record.mState))
        record.mNextCommand = command;
    else
        record.mCommand = command;
}

void CAppServerManager::deferCommand(const std::string& host, unsigned short port,
                                     const std::string& command)
{
    if (AppServerProcess* record = findRecord(host, port))
        setCommand(*record, command);
}

void CAppServerManager::forgetWaiters()
{
    mWaiters.clear();
}

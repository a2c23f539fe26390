// The operator's requests on one server and the reload, as changes of the
// records: each runs the same machine as supervision and the full stop, and
// the waiter of a request hears once how it ended.
#include "appserver/AppServerManager.h"

#include <algorithm>
#include <utility>

#include "appserver/StopRequests.h"
#include "foundation/Log.h"

namespace {

bool Stopping(const AppServerProcess& record)
{
    return HasProcess(record.mState) && !IsLive(record.mState);
}

}  // namespace

void CAppServerManager::identify()
{
    for (auto& record : mProcesses)
        if (record.mId == 0)
            record.mId = mNextId++;
}

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

void CAppServerManager::notify(AppServerProcess& record, Outcome outcome)
{
    auto it = mWaiters.find(record.mId);
    if (it == mWaiters.end())
        return;
    Waiter waiter = std::move(it->second);
    mWaiters.erase(it);
    mWaitedStarts.erase(record.mId);
    if (waiter)
        waiter(outcome, record);
}

void CAppServerManager::tell(const AppServerProcess& record, Outcome outcome)
{
    auto it = mWaiters.find(record.mId);
    if (it != mWaiters.end() && it->second) {
        Waiter waiter = it->second;  // a copy: the call may replace the entry
        waiter(outcome, record);
    }
}

void CAppServerManager::settle(Clock::time_point now)
{
    std::vector<AppServerProcess> gone;
    for (size_t i = 0; i < mProcesses.size();) {
        AppServerProcess& record = mProcesses[i];
        if (record.mState == ServerState::Down && record.mPurpose == StopPurpose::Remove) {
            mProbes.cancel(record.mId);
            gone.push_back(record);
            mProcesses.erase(mProcesses.begin() + static_cast<long>(i));
            continue;
        }
        if (record.mChanged) {
            record.mChanged = false;
            syncProbes(record, now);
            tellWaiter(record);
        }
        ++i;
    }
    for (AppServerProcess& record : gone)
        notify(record, Outcome::Removed);
}

void CAppServerManager::syncProbes(AppServerProcess& record, Clock::time_point now)
{
    Probes::Kind kind;
    bool active = mProbes.active(record.mId, kind);
    bool live = mProbing && mSettings.liveness != LivenessProbe::None &&
                record.mTarget.length != 0;
    if (record.mState == ServerState::Starting && record.mProbed) {
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

void CAppServerManager::tellWaiter(AppServerProcess& record)
{
    if (mWaiters.count(record.mId) == 0)
        return;
    ServerState state = record.mState;
    if (state == ServerState::Starting)
        mWaitedStarts.insert(record.mId);
    bool forked = mWaitedStarts.count(record.mId) != 0;
    if (record.serving())
        notify(record, Outcome::Started);
    else if (state == ServerState::Held)
        notify(record, Outcome::Stopped);
    else if (state == ServerState::Down && record.mPurpose == StopPurpose::Restart)
        tell(record, Outcome::Ended);
    else if (forked && (state == ServerState::Down || state == ServerState::Throttled ||
                        (state == ServerState::StopRequested &&
                         record.mPurpose == StopPurpose::Fail)))
        notify(record, Outcome::Failed);
}

AppServerProcess* CAppServerManager::requestable(const std::string& host, unsigned short port,
                                                Request& refusal)
{
    identify();
    AppServerProcess* record = findRecord(host, port);
    refusal = record == nullptr ? Request::NoServer : Request::Busy;
    if (record == nullptr || Stopping(*record) || mWaiters.count(record->mId) != 0)
        return nullptr;
    return record;
}

CAppServerManager::Request CAppServerManager::stopServer(const std::string& host,
                                                         unsigned short port, Waiter waiter)
{
    Request refusal;
    AppServerProcess* record = requestable(host, port, refusal);
    if (record == nullptr)
        return refusal;
    auto now = Clock::now();
    if (!IsLive(record->mState)) {
        if (record->mState != ServerState::Held)
            KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu stopped by operator", host.c_str(), port);
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
    Request refusal;
    AppServerProcess* record = requestable(host, port, refusal);
    if (record == nullptr)
        return refusal;
    if (IsLive(record->mState))
        return Request::AlreadyRunning;
    KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu started by operator", host.c_str(), port);
    mWaiters[record->mId] = std::move(waiter);
    record->release(Clock::now());
    return Request::Accepted;
}

CAppServerManager::Request CAppServerManager::restartServer(const std::string& host,
                                                            unsigned short port,
                                                            const std::string& command,
                                                            Waiter waiter)
{
    identify();
    AppServerProcess* record = findRecord(host, port);
    if (record == nullptr)
        return Request::NoServer;
    bool busy = Stopping(*record) || mWaiters.count(record->mId) != 0;
    if (!command.empty() && (busy || !IsLive(record->mState))) {
        setCommand(*record, command);
        return Request::Deferred;
    }
    if (busy)
        return Request::Busy;
    if (!IsLive(record->mState))
        return startServer(host, port, std::move(waiter));
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

void CAppServerManager::forgetWaiter(const std::string& host, unsigned short port)
{
    if (const AppServerProcess* record = find(host, port)) {
        mWaiters.erase(record->mId);
        mWaitedStarts.erase(record->mId);
    }
}

void CAppServerManager::forgetWaiters()
{
    mWaiters.clear();
    mWaitedStarts.clear();
}

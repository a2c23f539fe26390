// What each server's tree costs, and its memory limit: the figures are read
// every ACCOUNTING_INTERVAL and when the operator asks (at most once a
// second), and a server over its limit for MEMORY_LIMIT_CHECKS readings in
// a row is recycled, one server of a pool at a time, never while another
// server of its pool does not serve. The listener check of a start lives
// here too: a server serves only through its own socket.
#include "appserver/AppServerManager.h"

#include <algorithm>

#include "foundation/Log.h"

namespace {

const auto kOnDemandAge = std::chrono::seconds(1);
const std::uint64_t kMiB = 1024 * 1024;

}  // namespace

bool CAppServerManager::servesItself(AppServerProcess& record)
{
    std::string holder;
    if (mTrees->servesItself(record, holder))
        return true;
    if (record.mForeignHolder.empty())
        KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu: port %hu is held by %s, which is not this server",
                   record.mHost.c_str(), record.mPort, record.mPort, holder.c_str());
    record.mForeignHolder = holder;
    return false;
}

void CAppServerManager::refreshFigures()
{
    auto now = Clock::now();
    // Off is off: an operator who turned the readings off asked for no
    // reading at all, not one per scrape.
    if (mContained && mSettings.accountingInterval > 0 && now - mLastAccount >= kOnDemandAge)
        account(now);
}

void CAppServerManager::account(Clock::time_point now)
{
    mLastAccount = now;
    mTrees->measure(mProcesses);
    if (mSettings.memoryLimit > 0 && !mStopping)
        recycleOverLimit(now);
}

bool CAppServerManager::poolAllowsRecycle(const AppServerProcess& record) const
{
    if (record.mPool.empty())
        return true;
    return std::none_of(mProcesses.begin(), mProcesses.end(), [&](const AppServerProcess& other) {
        return &other != &record && other.mPool == record.mPool &&
               (!other.serving() || other.mPurpose == StopPurpose::Recycle);
    });
}

void CAppServerManager::recycleOverLimit(Clock::time_point now)
{
    for (auto& record : mProcesses) {
        if (!record.serving() || !record.mMeasured)
            continue;
        bool over = record.mFigures.memoryBytes > mSettings.memoryLimit;
        record.mOverLimit = over ? record.mOverLimit + 1 : 0;
        if (record.mOverLimit < mSettings.memoryLimitChecks || !poolAllowsRecycle(record))
            continue;
        KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu uses %llu MiB, over its limit of %llu MiB; recycling it",
                   record.mHost.c_str(), record.mPort,
                   static_cast<unsigned long long>(record.mFigures.memoryBytes / kMiB),
                   static_cast<unsigned long long>(mSettings.memoryLimit / kMiB));
        ++record.mRecycles;
        record.mOverLimit = 0;
        beginStop(record, StopPurpose::Recycle, now);
    }
}

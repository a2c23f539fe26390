// The ends of the servers' trees. A server is its whole process tree: its
// leader's end is looked at before it is reaped (its zombie keeps the
// session's number and proves its members), what is left of the tree is
// signalled while the zombie is held, and the record ends only once the
// tree is empty. Orphans adopted by the service are reaped here and counted
// as their server's; they are never taken for a record's own end.
#include "appserver/AppServerManager.h"

#include <sys/wait.h>

#include <cerrno>

#include "baselib/kx_session.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

void CAppServerManager::contain()
{
    std::string line = mTrees->choose(mSettings.containment, mBaseDir);
    KXLogWrite(CLog::_pKXLog, "%s", line.c_str());
    mContained = true;
    addSource(mTrees.get());
    mTrees->setAccounting(mSettings.accountingInterval, [this] { account(Clock::now()); });
    if (mSettings.memoryLimit > 0 && mSettings.accountingInterval == 0)
        KXLogWrite(CLog::_pKXLog,
                   "MEMORY_LIMIT is not checked: ACCOUNTING_INTERVAL=0 turns the readings off");
    for (auto& record : mProcesses)
        configure(record);
    mTrees->stopLeftovers(mProcesses, mBaseDir + "/run", std::chrono::seconds(mSettings.killTimeout));
}

bool CAppServerManager::leaderEnded(AppServerProcess& record, int status, Clock::time_point now,
                                    std::vector<std::string>* later)
{
    pid_t leader = record.mPid;
    // A start that ends before it serves may have found its port taken.
    if (record.mState == ServerState::Starting)
        servesItself(record);
    std::vector<pid_t> left;
    for (const KXProcIdentity& member : mTrees->membersAfterEnd(record.mId))
        if (member.pid != leader)
            left.push_back(member.pid);
    if (!left.empty()) {
        // Signalled while the zombie still proves the session; reaped after.
        record.onLeaderEnd(status, left, now, later);
        mTrees->watch(record.mId, true);
    }
    int reaped = 0;
    if (waitpid(leader, &reaped, WNOHANG) == leader)
        status = reaped;
    if (left.empty()) {
        mTrees->forget(record.mId);
        record.onEnd(status, now, later);
    }
    return true;
}

bool CAppServerManager::takeTreeEnd(pid_t pid, int status, Clock::time_point now,
                                    std::vector<std::string>* later, bool* stuck)
{
    AppServerProcess* owner = nullptr;
    for (auto& record : mProcesses)
        if (record.mPid == pid && HasProcess(record.mState) && !record.mLeaderGone)
            owner = &record;
    if (owner != nullptr)
        return leaderEnded(*owner, status, now, later);
    KXProcStat stat;
    if (KXProcReadStat(mTrees->procFd(), pid, &stat) == ERROR_NONE)
        mTrees->adopted(stat);
    int ignored = 0;
    *stuck = waitpid(pid, &ignored, WNOHANG) < 0 && errno != ECHILD;
    return false;
}

bool CAppServerManager::reapTrees(Clock::time_point now, std::vector<std::string>* later)
{
    bool any = false;
    std::vector<pid_t> signalled;
    signalled.swap(mSignalled);
    bool stuck = false;
    for (pid_t pid : signalled)
        if (int status = 0; KXPeekChildEnd(pid, &status))
            any = takeTreeEnd(pid, status, now, later, &stuck) || any;
    // Ends whose SIGCHLD merged into those are looked for in the next pass,
    // after the starts these ends cause: the look walks every child.
    while (mReapDue && signalled.empty() && !stuck) {
        pid_t pid = 0;
        int status = 0;
        // A leader's end needs no stat: the record knows whose it is.
        KXStatus peeked = KXPeekEndedChild(mTrees->procFd(), &pid, &status, nullptr);
        if (peeked != ERROR_NONE || pid <= 0) {
            mReapDue = peeked == ERROR_GENERAL;
            break;
        }
        any = takeTreeEnd(pid, status, now, later, &stuck) || any;
    }
    // A tree whose leader is gone ends with its last process. A member seen
    // running spares the look at /proc; the others share one.
    std::vector<AppServerProcess*> unseen;
    std::vector<uint64_t> ids;
    for (auto& record : mProcesses)
        if (record.mLeaderGone && HasProcess(record.mState) && !mTrees->knownRunning(record.mId)) {
            unseen.push_back(&record);
            ids.push_back(record.mId);
        }
    mTrees->lookAt(ids);
    for (AppServerProcess* seen : unseen) {
        AppServerProcess& record = *seen;
        if (!mTrees->empty(record.mId))
            continue;
        record.mLeaderGone = false;
        mTrees->watch(record.mId, false);
        mTrees->forget(record.mId);
        record.onEnd(record.mStatus, now, later);
        any = true;
    }
    return any;
}

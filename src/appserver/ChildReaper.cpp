// Reaping of ended children in signal context, and the drain that hands the
// reaped ends to their process records between passes of the loop.
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "appserver/AppServerManager.h"
#include "appserver/AppServerProcess.h"
#include "baselib/kx_log.h"
#include "baselib/kx_time.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

TermProcs termProcs;

namespace {

// Async-signal context: only time() and waitpid(), no allocation, no log.
// When the table is full, the remaining children stay unreaped until the
// next drain has made room and a later SIGCHLD arrives.
void childHandler(int)
{
    int savedErrno = errno;  // the interrupted code may be about to read it
    time_t now = time(nullptr);
    while (termProcs.count < TERMPROCS_SIZE) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0)
            break;
        int i = termProcs.count;
        termProcs.entries[i].pid = pid;
        termProcs.entries[i].status = status;
        termProcs.entries[i].time = now;
        termProcs.count = i + 1;
    }
    errno = savedErrno;
}

}  // namespace

void InstallChildHandler()
{
    struct sigaction childAction;
    memset(&childAction, 0, sizeof childAction);
    if (sigfillset(&childAction.sa_mask) != 0)
        throw CWIException(
            ERROR_GENERAL,
            "CAppServerManagerImpl::buildTables(): setting signalmask of childAction "
            "failed (%s)",
            strerror(errno));
    childAction.sa_handler = childHandler;
    childAction.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    if (sigaction(SIGCHLD, &childAction, nullptr) != 0)
        throw CWIException(ERROR_GENERAL,
                           "CAppServerManagerImpl::buildTables(): error installing SIGCHLD handler "
                           "(%s)",
                           strerror(errno));
}

CBlockAllSignals::CBlockAllSignals()
{
    if (sigfillset(&mSet) != 0)
        throw CWIException(ERROR_GENERAL,
                           "CBlockSignals(): error filling set of signals with all signals (%s)",
                           strerror(errno));
    if (sigprocmask(SIG_BLOCK, &mSet, nullptr) != 0)
        throw CWIException(ERROR_GENERAL, "CBlockSignals(): error blocking all signals (%s)",
                           strerror(errno));
}

CBlockAllSignals::~CBlockAllSignals()
{
    if (sigprocmask(SIG_UNBLOCK, &mSet, nullptr) != 0)
        KXLogWrite(CLog::_pKXLog, "~CBlockSignals(): error unblocking all signals (%s)",
                   strerror(errno));
}

void CAppServerManager::waitAndUpdateTerminated(unsigned milliseconds)
{
    SleepMilliseconds(milliseconds);

    CBlockAllSignals block;
    auto& processes = mImpl->mProcesses;
    for (;;) {
        bool wasFull = termProcs.count >= TERMPROCS_SIZE;
        for (int i = termProcs.count - 1; i >= 0; --i) {
            const TermProc& ended = termProcs.entries[i];
            // Only a running record can own the child: an ended record keeps
            // the pid of its last child, which the kernel may since have
            // given to another server of this table.
            for (auto& process : processes)
                if (process.mPid == ended.pid && process.mState == 1)
                    process.updateTerminated(ended.status, ended.time);
            termProcs.count = i;
        }
        // A full table made the handler leave children unreaped, and their
        // SIGCHLDs are spent: without a reap here they would stay zombies,
        // never restarted, until some other child happened to end.
        if (!wasFull)
            break;
        childHandler(SIGCHLD);
    }
}

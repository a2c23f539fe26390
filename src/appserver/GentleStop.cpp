// Gentle stop: every running application server is asked over its port to
// shut itself down and given 30 seconds to do so, all servers at once, one
// thread each. What is left is for the hard stop (stopServers).
#include "appserver/AppServerManager.h"

#include <pthread.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "baselib/kx_socket.h"
#include "baselib/kx_time.h"
#include "foundation/HostAddr.h"
#include "foundation/KXServer.h"
#include "foundation/KXThread.h"
#include "foundation/Log.h"

namespace {

const int kConnectTimeoutSeconds = 10;
// Short: the request is tiny, and a server that does not take it at once is
// not going to.
const int kSendTimeoutMilliseconds = 10;
const int kPollMilliseconds = 500;
const int kWaitMilliseconds = 30000;
const int kThreadWaitMilliseconds = 51000;

// Polls for the end of our child `pid` for up to kWaitMilliseconds (60 polls,
// the last 29.5 s after the first). True when it ended (and is reaped now);
// false when it still runs or cannot be waited for.
bool WaitForEnd(pid_t pid)
{
    int slept = 0;
    for (;;) {
        pid_t result = waitpid(pid, nullptr, WNOHANG);
        if (result < 0)
            return false;
        if (result == pid)
            return true;
        int step = kWaitMilliseconds - slept < kPollMilliseconds ? kWaitMilliseconds - slept
                                                                 : kPollMilliseconds;
        SleepMilliseconds(static_cast<unsigned>(step));
        slept += step;
        if (slept >= kWaitMilliseconds)
            return false;
    }
}

// Thread function of one server; data is its AppServerProcess record.
void GentleStopAS(int* /*stop*/, int* /*error*/, void* data)
{
    auto* record = static_cast<AppServerProcess*>(data);
    // Everything needed from the record is read before the thread can first
    // be cancelled, so a thread cancelled late never reaches into the table.
    const pid_t pid = record->mPid;
    const unsigned short port = record->mPort;
    std::string host = record->mHost;

    std::unique_ptr<CKXServer> server;  // released on leaving, after the wait
    KXStatus sendStatus = ERROR_NONE;
    bool requested = false;

    // The request goes out whole or not at all, and the endpoint is not left
    // half built: cancellation waits until the request is out (bounded by
    // the connect time-out and the resolver); the long part, the wait for
    // the process, stays cancellable.
    int cancelState = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
    CatchWIException("GentleStopAS", [&] {
        if (host.empty())
            host = CPrimaryIP().address();
        server = std::make_unique<CKXServer>(host.c_str(), port);
        KXSocket* socket = server->getSocket(kConnectTimeoutSeconds);

        KXStatus status = KXSocketSetTimeout(socket, kSendTimeoutMilliseconds, CLog::_pKXLog);
        if (status != ERROR_NONE)
            KXLogWrite(CLog::_pKXLog, "GentleStopAS(): error set timeout [%s]:%hu (%d)",
                       host.c_str(), port, status);
        sendStatus = KXSocketFPrint(socket,
                                    "GET /\r\n"
                                    "X-tarvel-EXTRAINFO: shutdown\r\n"
                                    "user-agent: tarvel Service\r\n"
                                    "\r\n",
                                    CLog::_pKXLog);
        if (sendStatus != ERROR_NONE)
            KXLogWrite(CLog::_pKXLog, "GentleStopAS(): error sending shutdown [%s]:%hu (%d)",
                       host.c_str(), port, sendStatus);
        // The server does not answer; closing is all that is left to do.
        KXSocketFree(&socket, CLog::_pKXLog);
        requested = true;
    });
    pthread_setcancelstate(cancelState, nullptr);
    pthread_testcancel();
    if (!requested)
        return;

    // All signals are blocked in this thread and in the service's, so the
    // SIGCHLD handler cannot reap the server before this waitpid does.
    if (!WaitForEnd(pid)) {
        KXLogWrite(CLog::_pKXLog,
                   "Failed to shut down application server at [%s]:%hu after %d sec. (%d)",
                   host.c_str(), port, kWaitMilliseconds / 1000, sendStatus);
        return;
    }
    // The process is reaped and gone; its id may already belong to another
    // process. Marked ended, it is left alone by the hard stop. No
    // cancellation point lies between the wait and this store, and the owner
    // reads the record once it has seen this thread finish.
    record->mState = 0;
}

}  // namespace

void CAppServerManager::gentleStopServers()
{
    // The threads inherit the blocked mask. Declared first, so that signals
    // come back (and a pending SIGCHLD is handled) only after every thread
    // is gone.
    CBlockAllSignals blocked;

    std::vector<std::unique_ptr<CKXThread>> threads;
    threads.reserve(mImpl->mProcesses.size());
    for (AppServerProcess& record : mImpl->mProcesses) {
        if (record.mState != 1)
            continue;
        threads.push_back(std::make_unique<CKXThread>(GentleStopAS, &record));
        threads.back()->setTimeout(kThreadWaitMilliseconds);
    }
    // In creation order; the threads run in parallel, so the later ones have
    // mostly finished by their turn. Should a creation above fail, the
    // vector's destruction still waits for the threads already started.
    for (auto& thread : threads)
        thread.reset();
}

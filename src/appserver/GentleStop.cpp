// Gentle stop: every running application server is asked over its port to
// shut itself down and given 30 seconds to do so, all servers at once, one
// thread each. Each thread learns of its server's end the moment it happens
// (a pidfd), and tells the service thread through an eventfd that its one
// wait watches. What is left is for the hard stop (stopServers).
#include "appserver/AppServerManager.h"
#include "appserver/ShutdownRequest.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Exceptions.h"
#include "foundation/KXThread.h"
#include "foundation/Log.h"
#include "servicectl/ProcessState.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kWaitMilliseconds = 30000;
const auto kThreadWait = std::chrono::milliseconds(51000);
// How often the log tells which servers are still being waited for, and how
// many of them it names.
const auto kProgressInterval = std::chrono::seconds(5);
const size_t kProgressNames = 10;

// What the stop threads share with the service thread. A thread that is
// cancelled may still be unwinding when the service thread has gone on, so
// each holds a reference.
struct StopBoard {
    explicit StopBoard(size_t count)
        : done(new std::atomic<bool>[count]), ended(count, 0), status(count, 0),
          endTime(count, 0), wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        for (size_t i = 0; i < count; ++i)
            done[i].store(false);
    }
    ~StopBoard()
    {
        if (wake >= 0)
            close(wake);
    }
    // Set last by a thread that finished; what it wrote before is then visible.
    std::unique_ptr<std::atomic<bool>[]> done;
    // The server ended and its thread reaped it; bytes, not bits: each is
    // written by another thread.
    std::vector<char> ended;
    std::vector<int> status;
    std::vector<time_t> endTime;
    int wake;  // eventfd, -1 when none could be made (then the owner looks every 20 ms)
};

struct StopTask {
    std::shared_ptr<StopBoard> board;
    size_t index;
    pid_t pid;
    unsigned short port;
    std::string host;
};

// True when our child `pid` ended within kWaitMilliseconds; it is reaped then.
bool WaitForEnd(pid_t pid, int& status)
{
    pid_t result = waitpid(pid, &status, WNOHANG);
    if (result != 0)
        return result == pid;  // ended already, or not ours to wait for
    servicectl::ProcessHandle process(pid);
    if (!process.WaitForEnd(Clock::now() + std::chrono::milliseconds(kWaitMilliseconds)))
        return false;
    return waitpid(pid, &status, WNOHANG) == pid;
}

// The request and the wait for one server; what it learns goes to the board.
void StopOne(StopTask& task)
{
    KXStatus sendStatus = ERROR_NONE;
    std::string& host = task.host;
    const unsigned short port = task.port;

    // The request goes out whole or not at all: cancellation waits until it
    // is out (bounded by the connect time-out and the resolver); the long
    // part, the wait for the process, stays cancellable.
    int cancelState = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
    bool requested = SendShutdownRequest("GentleStopAS", host, port, sendStatus);
    pthread_setcancelstate(cancelState, nullptr);
    pthread_testcancel();
    if (!requested)
        return;

    // SIGCHLD is blocked everywhere and the service thread does not reap
    // during the gentle stop, so only this waitpid can take the server.
    int status = 0;
    if (!WaitForEnd(task.pid, status)) {
        KXLogWrite(CLog::_pKXLog,
                   "Failed to shut down application server at [%s]:%hu after %d sec. (%d)",
                   host.c_str(), port, kWaitMilliseconds / 1000, sendStatus);
        return;
    }
    // The process is reaped and gone; its id may already belong to another
    // process. The service thread marks the record ended, and the hard stop
    // then leaves it alone.
    task.board->ended[task.index] = true;
    task.board->status[task.index] = status;
    task.board->endTime[task.index] = time(nullptr);
}

// Thread function of one server; data is its StopTask, which it owns.
void GentleStopAS(int* /*stop*/, int* /*error*/, void* data)
{
    // Released also when the thread is cancelled (the unwinding runs it).
    std::unique_ptr<StopTask> task(static_cast<StopTask*>(data));
    StopOne(*task);
    // Nothing after this may be cancelled: the owner takes "done" as the end.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    StopBoard& board = *task->board;
    board.done[task->index].store(true, std::memory_order_release);
    if (board.wake >= 0) {
        uint64_t one = 1;
        ssize_t ignored = write(board.wake, &one, sizeof one);
        (void)ignored;
    }
}

// The eventfd of the board, in the service thread's one wait.
class BoardSource : public LoopSource {
public:
    explicit BoardSource(int fd) : mFd(fd) {}
    void prepare(std::vector<struct pollfd>& fds, Clock::time_point&) override
    {
        fds.push_back({mFd, POLLIN, 0});
    }
    void dispatch(struct pollfd* fds, size_t count, Clock::time_point) override
    {
        uint64_t value;
        if (count == 1 && fds[0].revents != 0) {
            ssize_t ignored = read(mFd, &value, sizeof value);
            (void)ignored;
        }
    }

private:
    int mFd;
};

std::string Address(const AppServerProcess& record)
{
    // A record without a host serves every address of the host.
    return (record.mHost.empty() ? "*" : record.mHost) + ":" + std::to_string(record.mPort);
}

}  // namespace

void CAppServerManager::gentleStopServers()
{
    struct Restore {
        Phase& phase;
        Phase previous;
        ~Restore() { phase = previous; }
    } restore{mPhase, mPhase};
    mPhase = Phase::GentleStop;

    std::vector<size_t> asked;  // indexes of the records with a thread
    auto board = std::make_shared<StopBoard>(mProcesses.size());
    std::vector<std::unique_ptr<CKXThread>> threads;
    for (size_t i = 0; i < mProcesses.size(); ++i) {
        AppServerProcess& record = mProcesses[i];
        if (record.mState != ServerState::Running)
            continue;
        // Everything the thread needs is copied: it never reaches into the table.
        auto task = std::make_unique<StopTask>(
            StopTask{board, i, record.mPid, record.mPort, record.mHost});
        try {
            threads.push_back(std::make_unique<CKXThread>(GentleStopAS, task.get()));
            task.release();
            asked.push_back(i);
        } catch (std::exception& e) {
            // The others keep their gentle stop; this one gets the hard stop.
            KXLogWrite(CLog::_pKXLog,
                       "gentleStopServers(): no stop thread for [%s]:%hu, left to the hard "
                       "stop: %s",
                       record.mHost.c_str(), record.mPort, e.what());
        }
    }

    BoardSource source(board->wake);
    if (board->wake >= 0)
        addSource(&source);
    auto nextProgress = Clock::now() + kProgressInterval;
    auto progress = [&] {
        std::string names;
        size_t waiting = 0;
        for (size_t i : asked) {
            if (board->done[i].load(std::memory_order_acquire))
                continue;
            if (++waiting <= kProgressNames)
                names += (names.empty() ? "" : ", ") + Address(mProcesses[i]);
        }
        if (waiting > kProgressNames)
            names += ", ...";
        if (waiting > 0)
            KXLogWrite(CLog::_pKXLog, "gentleStopServers(): waiting for %zu server(s): %s",
                       waiting, names.c_str());
    };

    // In creation order, each thread waited for from its turn on; they run
    // in parallel, so the later ones have mostly finished by their turn.
    for (size_t k = 0; k < threads.size(); ++k) {
        size_t i = asked[k];
        auto deadline = Clock::now() + kThreadWait;
        while (!board->done[i].load(std::memory_order_acquire)) {
            auto now = Clock::now();
            if (now >= nextProgress) {
                progress();
                while (nextProgress <= now)
                    nextProgress += kProgressInterval;
            }
            if (now >= deadline)
                break;
            auto limit = std::min(deadline, nextProgress);
            if (board->wake < 0)
                limit = std::min(limit, now + std::chrono::milliseconds(20));
            CatchWIException("gentleStopServers", [&] { wait(limit); });
        }
        // Finished threads are past their last cancellation point; the
        // others had their time and are cancelled now.
        threads[k]->setTimeout(0);
        threads[k].reset();
        if (board->done[i].load(std::memory_order_acquire) && board->ended[i]) {
            AppServerProcess& record = mProcesses[i];
            record.mState = ServerState::Ended;
            record.mStatus = board->status[i];
            record.mEndTime = board->endTime[i];
        }
    }
    removeSource(&source);
}

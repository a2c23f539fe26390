#include "endpoints/StopRequests.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "endpoints/ShutdownRequest.h"

namespace {

// Threads made per pass of the loop: enough to ask a thousand servers within
// a few passes, few enough that the first refused connect is answered with
// SIGTERM within milliseconds.
const size_t kBatch = 32;

}  // namespace

struct StopRequests::Shared {
    std::mutex lock;
    std::condition_variable idle;  // signalled when `threads` drops to 0
    std::vector<Done> done;
    size_t threads = 0;            // threads not ended yet
    int fd = -1;
};

StopRequests::StopRequests() : mShared(std::make_shared<Shared>()) {}

// Made on first use, in the loop: a daemon closes what it inherited when it
// detaches, after the manager was built.
void StopRequests::open()
{
    if (mOpened)
        return;
    mOpened = true;
    mShared->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

StopRequests::~StopRequests()
{
    waitIdle();
    if (mShared->fd >= 0)
        close(mShared->fd);
}

void StopRequests::waitIdle()
{
    std::unique_lock<std::mutex> hold(mShared->lock);
    mShared->idle.wait(hold, [this] { return mShared->threads == 0; });
}

int StopRequests::fd()
{
    open();
    return mShared->fd;
}

uint64_t StopRequests::queue(uint64_t id, const std::string& host, unsigned short port)
{
    mQueue.push_back({id, mNextSerial, host, port});
    return mNextSerial++;
}

std::vector<StopRequests::NoThread> StopRequests::launch()
{
    open();
    std::vector<NoThread> failed;
    for (size_t made = 0; made < kBatch && !mQueue.empty(); ++made) {
        Request request = mQueue.front();
        mQueue.pop_front();
        {
            std::lock_guard<std::mutex> hold(mShared->lock);
            ++mShared->threads;
        }
        try {
            std::thread([shared = mShared, request]() mutable {
                KXStatus sendStatus = ERROR_NONE;
                bool sent = SendShutdownRequest("GentleStopAS", request.host, request.port,
                                                sendStatus);
                // The thread's last touch of the shared state: the destructor
                // may close the eventfd as soon as the count is 0.
                std::lock_guard<std::mutex> hold(shared->lock);
                shared->done.push_back({request.id, request.serial, sent, sendStatus});
                if (shared->fd >= 0) {
                    uint64_t one = 1;
                    ssize_t ignored = write(shared->fd, &one, sizeof one);
                    (void)ignored;
                }
                if (--shared->threads == 0)
                    shared->idle.notify_all();
            }).detach();
            ++mRunning;
        } catch (std::system_error& e) {
            std::lock_guard<std::mutex> hold(mShared->lock);
            --mShared->threads;
            failed.push_back({request.id, e.what()});
        }
    }
    return failed;
}

std::vector<StopRequests::Done> StopRequests::take()
{
    std::vector<Done> done;
    {
        std::lock_guard<std::mutex> hold(mShared->lock);
        done.swap(mShared->done);
        uint64_t value;
        if (mShared->fd >= 0) {
            ssize_t ignored = read(mShared->fd, &value, sizeof value);
            (void)ignored;
        }
    }
    mRunning -= std::min(mRunning, done.size());
    return done;
}

// The shutdown requests of the servers being stopped. Only the connect and
// the send run in a thread, one per request (a connect may take its 10 s);
// the loop learns which are done through one eventfd and does all the rest:
// the wait for the end, the reaping and the escalation are its deadlines.
// The threads are detached: the loop never waits for one to end, since a
// busy machine may be slow to schedule a thread's last steps, and the loop
// takes "now" before it hands the results on, so every such wait would be
// cut from the 5 s between the SIGTERM and the SIGKILL that follow.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class StopRequests {
public:
    struct Done {
        uint64_t id;     // the record's id
        uint64_t serial; // the request's own number
        bool sent;       // a connection came about and the request was written
        int sendStatus;  // the send's status (ERROR_NONE or the logged failure)
    };
    struct NoThread {
        uint64_t id;
        std::string reason;  // why the thread could not be created
    };

    StopRequests();
    // Waits until no thread is left, as waitIdle().
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    // Queues the request for record `id`; its thread is made by launch().
    // Returns the request's serial, which its Done carries.
    uint64_t queue(uint64_t id, const std::string& host, unsigned short port);
    // Makes the threads of up to a batch of queued requests, so that the
    // loop answers the first results while a long table is still being
    // asked. Returns the requests whose thread could not be made.
    std::vector<NoThread> launch();
    // True while requests wait for their thread.
    bool queued() const { return !mQueue.empty(); }
    // True while a thread runs.
    bool running() const { return mRunning != 0; }
    // Readable when a thread is done; -1 when no eventfd could be made (the
    // loop then looks every 20 ms while threads run).
    int fd();
    // Returns once no thread is left: each ends within its connect time-out
    // and the send's. Their results stay to be taken.
    void waitIdle();
    // The requests done since the last call.
    std::vector<Done> take();

private:
    struct Request {
        uint64_t id;
        uint64_t serial;
        std::string host;
        unsigned short port;
    };
    struct Shared;

    void open();

    std::shared_ptr<Shared> mShared;
    std::deque<Request> mQueue;
    size_t mRunning = 0;  // threads made whose result was not taken yet
    uint64_t mNextSerial = 1;
    bool mOpened = false;
};

// The service's control channel: a Unix stream socket in $TARVEL/run on
// which root and the service's own user send one request line and read back
// lines ending in "OK" or "ERROR <text>".
//
// Every client is handled non-blocking inside the supervision loop's single
// wait (prepare/dispatch), so no client, however slow or silent, can hold the
// loop up: each step is one non-blocking system call, every client has a
// deadline, and their number is bounded. Requests are handed to the owner,
// which answers at once or later (a gentle stop takes its time) by id.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "foundation/EventLoop.h"

class CControlServer : public LoopSource {
public:
    using Clock = std::chrono::steady_clock;
    using ClientId = uint64_t;
    // Called from dispatch with one complete request line (without its end
    // of line). The owner answers with reply(), now or later.
    using Handler = std::function<void(ClientId client, const std::string& request)>;

    static constexpr size_t kMaxRequest = 4096;                  // bytes of one request line
    static constexpr std::chrono::seconds kRequestTimeout{5};    // to send the whole line
    static constexpr std::chrono::seconds kWriteTimeout{5};      // without any progress on a reply
    static constexpr size_t kMaxClients = 16;                    // connections held at once
    static constexpr const char* kSocketName = "tarvelsvc.sock";

    // Creates `runDir` (mode 0700) if missing; uses one found in place as it
    // is, or refuses it when it is a symlink, not a directory, not owned by
    // this user or writable by others. Removes a stale socket of this user,
    // and listens on runDir/tarvelsvc.sock (mode 0600). Throws CWIException
    // naming the path and the reason when it cannot.
    CControlServer(const std::string& runDir, Handler handler);
    // Closes every connection and removes the socket if it is still ours.
    ~CControlServer() override;
    CControlServer(const CControlServer&) = delete;
    CControlServer& operator=(const CControlServer&) = delete;

    const std::string& path() const { return mPath; }

    // Appends the descriptors to watch this pass; lowers `deadline` to the
    // earliest client time-out.
    void prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline) override;
    // Handles what the wait reported for the slice prepare appended: accepts,
    // reads, writes, time-outs; calls the handler for complete requests.
    void dispatch(struct pollfd* fds, size_t count, Clock::time_point now) override;

    // Queues `lines` (each ended by '\n') for the client; with `last` the
    // connection is closed once they are written. A client that is gone is
    // ignored. Safe to call from within the handler. A reply to an idle
    // client is taken over, not copied: -metrics of a thousand servers is
    // megabytes.
    void reply(ClientId client, std::string lines, bool last);
    // True while the client is connected and has not got its last reply.
    bool waiting(ClientId client) const;

    size_t clientCount() const { return mClients.size(); }

private:
    enum class Phase { Reading, Handling, Writing };
    struct Client {
        int fd = -1;
        Phase phase = Phase::Reading;
        std::string in;
        std::string out;
        size_t sent = 0;  // bytes of out already written: a long reply is not moved up per write
        bool closeAfterWrite = false;
        Clock::time_point deadline;
    };

    void createDirectory(const std::string& runDir);
    void bindSocket();
    void acceptClients(Clock::time_point now);
    // Refuses the connection with one line and closes it.
    void refuse(int fd, const std::string& line);
    // Reads what is there; true when a request is complete or the client must go.
    void readRequest(ClientId id, Client& client, Clock::time_point now);
    void writeReply(ClientId id, Client& client, Clock::time_point now);
    void closeClient(ClientId id);

    std::string mPath;
    Handler mHandler;
    int mListenFd = -1;
    dev_t mDevice = 0;  // identity of our socket file, so that only it is removed
    ino_t mInode = 0;
    Clock::time_point mAcceptPausedUntil{};
    ClientId mNextId = 1;
    std::map<ClientId, Client> mClients;
    std::vector<ClientId> mPolled;  // the clients of the last prepare, in order
    bool mListenPolled = false;
    std::vector<std::pair<ClientId, std::string>> mRequests;  // complete, not yet handed on
};

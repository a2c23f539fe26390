// The servers' notification socket: servers that speak the sd_notify
// protocol tell the service here that they serve (READY=1), what they are
// doing (STATUS=), that they are alive (WATCHDOG=1) and that they stop
// (STOPPING=1), instead of waiting for a probe.
//
// A datagram socket at $TARVEL/run/notify (mode 0600 in the 0700 run
// directory, so only the service's user and root can send) with SO_PASSCRED:
// the kernel stamps each datagram with its sender's pid and uid, which no
// sender can forge. The owner's resolver maps that pid to the server whose
// process tree holds it; a datagram from anyone else is refused. It runs in
// the service's one wait and never blocks: at most kMaxPerDispatch datagrams
// per pass, so a flood costs each pass a bounded time and the rest of the
// loop still runs between passes; what the kernel queue cannot hold waits
// at its sender.
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

struct NotifyEvent {
    enum class Kind { Ready, Status, Watchdog, WatchdogTimeout, Stopping };
    uint64_t server;   // the id the resolver gave
    Kind kind;
    std::string text;  // Status: the text, printable ASCII, at most kMaxStatus bytes
    uint64_t usec;     // WatchdogTimeout: the server's new WATCHDOG_USEC
};

class NotifySocket : public LoopSource {
public:
    using Clock = std::chrono::steady_clock;
    // The server whose process tree holds the sender `pid`; 0 for none.
    using Resolver = std::function<uint64_t(pid_t pid)>;

    static constexpr const char* kSocketName = "notify";
    static constexpr size_t kMaxDatagram = 4096;   // as systemd takes; longer ones are dropped
    // Datagrams read in one pass: fewer than the kernel queues by default
    // (net.unix.max_dgram_qlen 10, plus one), so a full queue costs a pass
    // at most 8 reads and look-ups; it still drains faster than it fills.
    static constexpr size_t kMaxPerDispatch = 8;
    static constexpr size_t kMaxStatus = 200;      // bytes of STATUS= text kept
    static constexpr int kReceiveBuffer = 256 * 1024;
    static constexpr std::chrono::seconds kDropLogInterval{60};

    // What was dropped since the start, by reason.
    struct Drops {
        uint64_t foreign = 0;    // no server's tree holds the sender, or another user sent it
        uint64_t unknown = 0;    // nothing in it this service takes
        uint64_t malformed = 0;  // longer than kMaxDatagram, or carrying descriptors
    };

    // Binds `path` (normally runDir + "/" + kSocketName; a directory made
    // and checked by the control server). A socket left there by a killed
    // service is replaced; anything else there, or a socket another service
    // still reads, refuses the start. Throws CWIException naming the path and
    // the OS reason.
    NotifySocket(const std::string& path, Resolver resolver);
    // Closes the socket and removes its path if it is still ours.
    ~NotifySocket() override;
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // The value of NOTIFY_SOCKET for the servers' environment.
    const std::string& path() const { return mPath; }

    void prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline) override;
    // Reads at most kMaxPerDispatch datagrams; their events are appended to
    // what takeEvents() returns next.
    void dispatch(struct pollfd* fds, size_t count, Clock::time_point now) override;

    // The events since the last call, in arrival order; the caller owns them.
    std::vector<NotifyEvent> takeEvents();
    const Drops& drops() const { return mDrops; }
    // Datagrams the last dispatch read.
    size_t lastRead() const { return mLastRead; }

private:
    void bindSocket();
    // Reads one datagram; false when none is waiting.
    bool receiveOne();
    void parse(uint64_t server, const std::string& message);
    void drop(uint64_t& counter, const std::string& why);
    void logDrops(Clock::time_point now);

    std::string mPath;
    Resolver mResolver;
    int mFd = -1;
    dev_t mDevice = 0;
    ino_t mInode = 0;
    bool mPolled = false;
    size_t mLastRead = 0;
    pid_t mPassSender = 0;            // the last sender of this pass, and its server
    uint64_t mPassServer = 0;
    std::vector<NotifyEvent> mEvents;
    Drops mDrops;
    uint64_t mUnlogged = 0;           // drops not yet in the log
    std::string mLastDrop;            // why the last one was dropped
    Clock::time_point mNextLog{};     // a drop line is due no earlier than this
};

// The server of `sender` in `servers` (a server's pid -> its id): the sender
// itself, or the leader of its session (read from /proc); 0 for none, also
// when the sender is gone.
uint64_t ServerOfSender(pid_t sender, const std::map<pid_t, uint64_t>& servers);

// When a server that sends WATCHDOG=1 counts as not alive: `usec` after its
// last keep-alive (or after it began serving, before the first). Far in
// the future for usec 0 (no watchdog).
std::chrono::steady_clock::time_point WatchdogDeadline(std::chrono::steady_clock::time_point last,
                                                       uint64_t usec);

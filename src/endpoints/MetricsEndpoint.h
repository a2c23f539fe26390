// The HTTP endpoint Prometheus scrapes: GET /metrics on one TCP address,
// served by libmicrohttpd (loaded when the first endpoint opens) inside the
// service's one poll.
//
// libmicrohttpd runs without a thread of its own ("external polling" with
// epoll): its epoll descriptor is one more pollfd of the loop, its next
// connection time-out lowers the loop's deadline, and dispatch lets it do
// what is ready without blocking. The endpoint accepts the connections
// itself and hands them over, so that it decides who gets a slot. What a
// client may cost is bounded, and no set of clients can keep a scrape out:
//   - the number of connections; when every slot is taken, a new one closes
//     the connection that has waited longest for a request head;
//   - a deadline for the whole request head, however slowly it trickles,
//     and a time-out without progress for the rest;
//   - the size of a request head: a larger one gets 431, whatever its
//     length, as the connection's memory holds the head and the reply;
//   - the pace of scrapes: connections are taken on at a bounded rate (a
//     burst of a full set of slots, then a steady pace), each scrape on a
//     connection of its own; the rest wait in the kernel's queue, so that
//     clients scraping in a loop cannot take the loop's time from the
//     servers.
// Each page's body is rendered by the owner's callback on the service
// thread, at most once a second: every request within that second shares
// it, so that readers loading a page in a loop cannot delay supervision.
//
// The endpoint is read-only and answers nothing but its pages (the metrics
// at /metrics, and what the owner adds): GET of one of them is 200, any
// other path 404, any other method 405.
#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "foundation/EventLoop.h"
#include "foundation/HostPort.h"

struct MHD_Daemon;
struct MHD_Response;
struct Microhttpd;

class CMetricsEndpoint : public LoopSource {
public:
    using Clock = std::chrono::steady_clock;
    // Returns the body of one scrape; called on the service thread.
    using Render = std::function<std::string()>;

    // One path it answers, with its Content-Type and its body.
    struct Page {
        std::string path;
        std::string contentType;
        Render render;
    };

    struct Limits {
        unsigned connections = 16;          // held at once
        unsigned timeoutSeconds = 5;        // a connection without progress is closed
        unsigned headSeconds = 3;           // to send a whole request head
        size_t requestBytes = 8000;         // the largest request head served
        Clock::duration renderAge = std::chrono::seconds(1);  // a page's rendered body is shared this long
        double acceptsPerSecond = 20;       // connections taken on, beyond a burst of `connections`
    };

    // Listens on `listen`, parsed where it was configured. Throws
    // CWIException naming the address and the reason (the OS reason where
    // there is one, or why the HTTP library cannot be loaded) when it cannot.
    CMetricsEndpoint(const ListenAddress& listen, Render render);
    CMetricsEndpoint(const ListenAddress& listen, Render render, Limits limits);
    // The same, answering each of `pages` (their paths exact).
    CMetricsEndpoint(const ListenAddress& listen, std::vector<Page> pages);
    CMetricsEndpoint(const ListenAddress& listen, std::vector<Page> pages, Limits limits);
    // Closes every connection and the listening socket.
    ~CMetricsEndpoint() override;
    CMetricsEndpoint(const CMetricsEndpoint&) = delete;
    CMetricsEndpoint& operator=(const CMetricsEndpoint&) = delete;

    // The port it listens on.
    unsigned short port() const { return mPort; }
    // Connections held now.
    unsigned connectionCount() const;

    // Appends the epoll descriptor of the HTTP server; lowers `deadline` to
    // its next connection time-out or head deadline.
    void prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline) override;
    // Accepts, reads, answers and times out what is ready, without blocking.
    void dispatch(struct pollfd* fds, size_t count, Clock::time_point now) override;

    // Called by the HTTP server through its C callbacks; public for them.
    int answer(void* connection, const char* url, const char* method);
    void connectionEnded(void* connection);
    // `sent`: the reply went out whole.
    void requestDone(void* connection, bool sent);

private:
    // A connection handed to the HTTP server, by its descriptor.
    struct Peer {
        Clock::time_point waitingSince;  // for a request head: accepted, or its last reply done
        bool answering = false;          // its head came; the reply is under way
        bool closing = false;            // shut down by us, the server has yet to notice
        bool refused = false;            // its head is over the limit: 431
    };

    void openSocket(const ListenAddress& address);
    void startServer(const ListenAddress& address);
    // Accepts what is waiting (a bounded number) and hands it to the HTTP
    // server, making room where every slot is taken; true if any.
    bool acceptClients(Clock::time_point now);
    // Adds the accepts earned since the last call, up to a full set of slots.
    void refillAccepts(Clock::time_point now);
    // Shuts the connection down that has waited longest for a head; false
    // when every connection is being answered.
    bool evictLongestWaiting();
    // Shuts down the connections whose head is overdue.
    void closeOverdueHeads(Clock::time_point now);
    int fdOf(void* connection) const;
    // The reply for mPages[page]: rendered at most once per renderAge.
    MHD_Response* pageResponse(size_t page, Clock::time_point now);
    // The request head's size as the server parsed it: request line and fields.
    size_t headBytes(void* connection, const char* url, const char* method) const;

    const Microhttpd* mHttp = nullptr;
    std::vector<Page> mPages;
    Limits mLimits;
    MHD_Daemon* mDaemon = nullptr;
    int mListenFd = -1;
    int mEpollFd = -1;
    unsigned short mPort = 0;
    bool mListenPolled = false;
    Clock::time_point mAcceptPausedUntil{};
    double mAccepts = 0;  // connections that may be taken on now
    Clock::time_point mAcceptsAt{};
    Clock::time_point mRunBy = Clock::time_point::max();  // its time-out, as last asked
    std::map<int, Peer> mPeers;
    // Per page, its last rendered reply, shared, and when it was rendered.
    struct Cached {
        MHD_Response* response = nullptr;
        Clock::time_point at{};
    };
    std::vector<Cached> mCached;
};

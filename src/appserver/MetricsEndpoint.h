// The HTTP endpoint Prometheus scrapes: GET /metrics on one TCP address,
// served by libmicrohttpd inside the service's one poll.
//
// libmicrohttpd runs without a thread of its own ("external polling" with
// epoll): its epoll descriptor is one more pollfd of the loop, its next
// connection time-out lowers the loop's deadline, and dispatch lets it do
// what is ready without blocking. The endpoint accepts the connections
// itself and hands them over, so that one beyond the limit is closed at once
// instead of waiting in the kernel's queue. What a client may cost is
// bounded: the number of connections, a time-out without progress per
// connection, and the memory of one connection, which is also the largest
// request head read (a larger one gets an error status and the connection
// is closed). The body is rendered for each request by the owner's
// callback, on the service thread.
//
// The endpoint is read-only and answers nothing but its pages (the metrics
// at /metrics, and what the owner adds): GET of one of them is 200, any
// other path 404, any other method 405.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "appserver/EventLoop.h"

struct MHD_Daemon;

// A parsed listen address.
struct ListenAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
    std::string text;  // as given, for messages
};

// Parses "ADDRESS:PORT": a numeric IPv4 address, or an IPv6 address in
// brackets ("[::1]:9464"), and a port 1..65535. 0.0.0.0 and [::] listen on
// every address. Host names are refused: the daemon resolves no name to
// decide where it listens. Returns false and sets `reason` (a sentence
// naming the value) when the text is not such an address.
bool ParseListenAddress(const std::string& text, ListenAddress& parsed, std::string& reason);

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
        unsigned connections = 16;           // held at once; more are closed on accept
        unsigned timeoutSeconds = 5;         // a connection without progress is closed
        size_t requestBytes = 8 * 1024;      // memory of one connection: the largest request head
    };

    // Listens on `listen` ("ADDRESS:PORT", see ParseListenAddress). Throws
    // CWIException naming the address and the reason (the OS reason where
    // there is one) when it cannot.
    CMetricsEndpoint(const std::string& listen, Render render);
    CMetricsEndpoint(const std::string& listen, Render render, Limits limits);
    // The same, answering each of `pages` (their paths exact, "/metrics" among them).
    CMetricsEndpoint(const std::string& listen, std::vector<Page> pages);
    CMetricsEndpoint(const std::string& listen, std::vector<Page> pages, Limits limits);
    // Closes every connection and the listening socket.
    ~CMetricsEndpoint() override;
    CMetricsEndpoint(const CMetricsEndpoint&) = delete;
    CMetricsEndpoint& operator=(const CMetricsEndpoint&) = delete;

    // The port it listens on.
    unsigned short port() const { return mPort; }
    // Connections held now.
    unsigned connectionCount() const;

    // Appends the epoll descriptor of the HTTP server; lowers `deadline` to
    // its next connection time-out.
    void prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline) override;
    // Accepts, reads, answers and times out what is ready, without blocking.
    void dispatch(struct pollfd* fds, size_t count, Clock::time_point now) override;

    // Answers one request (called by the HTTP server); public for its C callback.
    int answer(void* connection, const char* url, const char* method);

private:
    void openSocket(const ListenAddress& address);
    // Accepts what is waiting (a bounded number) and hands it to the HTTP
    // server, or closes it when every connection is taken; true if any.
    bool acceptClients(Clock::time_point now);

    std::vector<Page> mPages;
    Limits mLimits;
    MHD_Daemon* mDaemon = nullptr;
    int mListenFd = -1;
    int mEpollFd = -1;
    unsigned short mPort = 0;
    bool mListenPolled = false;
    Clock::time_point mAcceptPausedUntil{};
    Clock::time_point mRunBy = Clock::time_point::max();  // its time-out, as last asked
};

// The metrics endpoint over real sockets, driven by a loop of the service's
// shape on a thread of its own (prepare, one poll, dispatch), next to a pipe
// that stands for everything else the loop must keep doing: what a scrape
// gets, what the owner's other pages get, what anything else gets, what an
// oversized request gets, and that silent, surplus and non-reading clients
// cost only their own connections.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "endpoints/Metrics.h"
#include "endpoints/MetricsEndpoint.h"
#include "common/test_util.h"
#include "foundation/Exceptions.h"
#include "foundation/HostPort.h"

namespace {

using Clock = std::chrono::steady_clock;

long long NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

// The service's loop in miniature. The test writes a time stamp into the
// pipe; the loop reads it on its next wake and keeps the largest delay.
class Loop {
public:
    explicit Loop(CMetricsEndpoint& endpoint) : mEndpoint(endpoint)
    {
        EXPECT_EQ(pipe2(mPipe, O_CLOEXEC | O_NONBLOCK), 0);
        mThread = std::thread([this] { run(); });
    }
    ~Loop()
    {
        mStop = true;
        poke();
        mThread.join();
        close(mPipe[0]);
        close(mPipe[1]);
    }
    void poke()
    {
        long long stamp = NowUs();
        EXPECT_EQ(write(mPipe[1], &stamp, sizeof stamp), static_cast<ssize_t>(sizeof stamp));
    }
    // The largest delay from a poke to the loop seeing it, in ms.
    double worstWakeMs() const { return static_cast<double>(mWorstUs.load()) / 1000; }
    unsigned connections() const { return mConnections.load(); }

private:
    void run()
    {
        while (!mStop) {
            std::vector<pollfd> fds;
            Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
            mEndpoint.prepare(fds, deadline);
            fds.push_back({mPipe[0], POLLIN, 0});
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait.count() + 1)));
            Clock::time_point before = Clock::now();
            mEndpoint.dispatch(fds.data(), fds.size() - 1, before);
            long long stamp = 0;
            while (read(mPipe[0], &stamp, sizeof stamp) == sizeof stamp)
                mWorstUs = std::max(mWorstUs.load(), NowUs() - stamp);
            mConnections = mEndpoint.connectionCount();
        }
    }

    CMetricsEndpoint& mEndpoint;
    int mPipe[2] = {-1, -1};
    std::atomic<bool> mStop{false};
    std::atomic<long long> mWorstUs{0};
    std::atomic<unsigned> mConnections{0};
    std::thread mThread;
};

int Connect(unsigned short port)
{
    int fd = testutil::ConnectLoopback(port);
    EXPECT_GE(fd, 0) << strerror(errno);
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

// Everything the server sends until it closes; "TIMEOUT" appended when it
// did not close within the receive time-out.
std::string ReadToEnd(int fd)
{
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            text += "TIMEOUT";
        return text;
    }
}

std::string Exchange(unsigned short port, const std::string& request)
{
    int fd = Connect(port);
    EXPECT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::string reply = ReadToEnd(fd);
    close(fd);
    return reply;
}

std::string Get(unsigned short port, const std::string& path, const std::string& method = "GET")
{
    return Exchange(port, method + " " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
}

std::string StatusLine(const std::string& reply)
{
    return reply.substr(0, reply.find("\r\n"));
}

std::string Body(const std::string& reply)
{
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
}

bool HasHeader(const std::string& reply, const std::string& line)
{
    return reply.substr(0, reply.find("\r\n\r\n")).find("\r\n" + line + "\r\n") != std::string::npos;
}

ListenAddress Address(const std::string& text)
{
    ListenAddress parsed;
    std::string reason;
    EXPECT_TRUE(ParseListenAddress(text, parsed, reason)) << reason;
    return parsed;
}

std::unique_ptr<CMetricsEndpoint> Make(std::atomic<int>& renders, const std::string& body,
                                       CMetricsEndpoint::Limits limits = {})
{
    for (int attempt = 0;; ++attempt) {
        try {
            return std::make_unique<CMetricsEndpoint>(
                Address("127.0.0.1:" + std::to_string(testutil::FreePort())),
                [&renders, body] {
                    ++renders;
                    return body;
                },
                limits);
        } catch (const CWIException&) {
            if (attempt == 5)  // the free port was taken meanwhile, five times over
                throw;
        }
    }
}

TEST(MetricsEndpoint, ServesTheMetricsAndNothingElse)
{
    std::atomic<int> renders{0};
    const std::string body = "# HELP x_total X.\n# TYPE x_total counter\nx_total 1\n";
    CMetricsEndpoint::Limits fresh;  // every scrape rendered anew, to count them
    fresh.renderAge = Clock::duration::zero();
    auto endpoint = Make(renders, body, fresh);
    Loop loop(*endpoint);
    const unsigned short port = endpoint->port();

    std::string ok = Get(port, "/metrics");
    EXPECT_EQ(StatusLine(ok), "HTTP/1.1 200 OK");
    EXPECT_TRUE(HasHeader(ok, "Content-Type: text/plain; version=0.0.4; charset=utf-8")) << ok;
    EXPECT_EQ(Body(ok), body);
    EXPECT_EQ(renders.load(), 1);

    // Other paths, other methods: nothing rendered, nothing else shown.
    for (const char* path : {"/", "/metrics/", "/metricsx", "/../metrics", "/favicon.ico"})
        EXPECT_EQ(StatusLine(Get(port, path)), "HTTP/1.1 404 Not Found") << path;
    for (const char* method : {"POST", "PUT", "DELETE", "HEAD", "OPTIONS"}) {
        std::string reply = Get(port, "/metrics", method);
        EXPECT_EQ(StatusLine(reply), "HTTP/1.1 405 Method Not Allowed") << method;
        EXPECT_TRUE(HasHeader(reply, "Allow: GET")) << method << ": " << reply;
    }
    std::string posted =
        Exchange(port, "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello");
    EXPECT_EQ(StatusLine(posted), "HTTP/1.1 405 Method Not Allowed");
    EXPECT_EQ(renders.load(), 1);

    // A request head over 8 KiB is refused and the connection closed; one
    // of 4 KiB (a scraper sends a few hundred bytes) is served.
    for (size_t size : {9 * 1024, 64 * 1024}) {
        std::string big = "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Filler: " + std::string(size, 'a') + "\r\n\r\n";
        int fd = Connect(port);
        send(fd, big.data(), big.size(), MSG_NOSIGNAL);
        std::string reply = ReadToEnd(fd);
        close(fd);
        EXPECT_EQ(StatusLine(reply), "HTTP/1.1 431 Request Header Fields Too Large") << size;
        EXPECT_EQ(reply.find("TIMEOUT"), std::string::npos) << "not closed after the refusal";
    }
    EXPECT_EQ(renders.load(), 1);
    std::string filled = Exchange(port, "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\nX-Filler: " +
                                            std::string(4096, 'a') + "\r\n\r\n");
    EXPECT_EQ(StatusLine(filled), "HTTP/1.1 200 OK");
    EXPECT_EQ(renders.load(), 2);
    EXPECT_EQ(Body(Get(port, "/metrics?name[]=x_total")), body);
    EXPECT_EQ(renders.load(), 3);
}

// Sixteen silent clients and one that asks for a large body and never reads
// it hold every connection; the next is closed at once, the loop keeps its
// pace throughout, and when the silent ones have timed out a scrape works.
TEST(MetricsEndpoint, SlowClientsCostOnlyTheirOwnConnections)
{
    std::atomic<int> renders{0};
    CMetricsEndpoint::Limits limits;
    limits.timeoutSeconds = 2;
    auto endpoint = Make(renders, std::string(8 << 20, 'x'), limits);
    Loop loop(*endpoint);
    const unsigned short port = endpoint->port();

    int hog = Connect(port);
    const int small = 4096;
    setsockopt(hog, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(send(hog, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::vector<int> silent;
    for (int i = 0; i < 15; ++i)
        silent.push_back(Connect(port));
    ASSERT_TRUE(testutil::WaitUntil([&] { return loop.connections() == 16; }, 5000)) << loop.connections();
    EXPECT_TRUE(testutil::WaitUntil([&] { return renders.load() == 1; }, 5000));

    // The seventeenth takes the slot of the one that has waited longest for
    // a head; the one being answered keeps its own.
    const auto before = Clock::now();
    int surplus = Connect(port);
    EXPECT_EQ(ReadToEnd(silent.front()), "");
    close(silent.front());
    silent.erase(silent.begin());
    silent.push_back(surplus);
    EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(1500));
    EXPECT_EQ(loop.connections(), 16u);

    // Meanwhile the loop wakes for everything else without delay.
    for (int i = 0; i < 20; ++i) {
        loop.poke();
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_LT(loop.worstWakeMs(), 100) << "the loop was held up by a client";

    // The silent ones are closed by the server after the time-out.
    for (int fd : silent) {
        EXPECT_EQ(ReadToEnd(fd), "") << "a silent client was not closed";
        close(fd);
    }
    EXPECT_LE(Clock::now() - before, std::chrono::seconds(limits.timeoutSeconds + 3));
    std::string ok = Get(port, "/metrics");
    EXPECT_EQ(StatusLine(ok), "HTTP/1.1 200 OK");
    EXPECT_EQ(Body(ok).size(), size_t{8 << 20});
    close(hog);
    EXPECT_LT(loop.worstWakeMs(), 100);
}

// Sixteen idle clients and sixteen that trickle a head byte by byte take
// every slot; a scrape is still answered within the head deadline and a
// second, a trickle is cut off at that deadline, and scrapes within a second
// share one rendering.
TEST(MetricsEndpoint, IdleAndTricklingClientsCannotKeepAScrapeOut)
{
    std::atomic<int> renders{0};
    auto endpoint = Make(renders, "x 1\n");
    Loop loop(*endpoint);
    const unsigned short port = endpoint->port();
    const auto deadline = std::chrono::seconds(CMetricsEndpoint::Limits().headSeconds);
    std::vector<int> idle, trickling;
    for (int i = 0; i < 16; ++i)
        idle.push_back(Connect(port));
    const auto trickleStart = Clock::now();
    for (int i = 0; i < 16; ++i)
        trickling.push_back(Connect(port));
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        const std::string head = "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(1000, 'a');
        for (size_t i = 0; !stop && i < head.size(); ++i) {
            for (int fd : trickling)
                send(fd, &head[i], 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the trickle's pace
        }
    });
    ASSERT_TRUE(testutil::WaitUntil([&] { return loop.connections() == 16; }, 5000)) << loop.connections();

    const auto before = Clock::now();
    EXPECT_EQ(StatusLine(Get(port, "/metrics")), "HTTP/1.1 200 OK");
    EXPECT_EQ(StatusLine(Get(port, "/metrics")), "HTTP/1.1 200 OK");
    EXPECT_LE(Clock::now() - before, deadline + std::chrono::seconds(1));
    EXPECT_EQ(renders.load(), 1);
    EXPECT_EQ(ReadToEnd(trickling.back()), "");
    EXPECT_LE(Clock::now() - trickleStart, deadline + std::chrono::seconds(1));
    stop = true;
    trickle.join();
    for (int fd : idle)
        close(fd);
    for (int fd : trickling)
        close(fd);
}

// A head over the limit gets 431 whatever its length: the connection's
// memory always has room for the reply.
// The owner's pages, each with its own type and its own shared render: a
// page loaded again within renderAge is not rendered again, and never
// answers for another path.
TEST(MetricsEndpoint, EachPageHasItsTypeAndItsOwnSharedRender)
{
    std::atomic<int> metrics{0}, pages{0};
    CMetricsEndpoint::Limits shared;
    shared.renderAge = std::chrono::hours(1);
    std::vector<CMetricsEndpoint::Page> list = {
        {"/metrics", kMetricsContentType, [&] { return "x " + std::to_string(++metrics) + "\n"; }},
        {"/", "text/html; charset=utf-8", [&] { return "<p>" + std::to_string(++pages) + "</p>\n"; }},
    };
    std::unique_ptr<CMetricsEndpoint> endpoint;
    for (int attempt = 0; !endpoint; ++attempt) {
        try {
            endpoint = std::make_unique<CMetricsEndpoint>(
                Address("127.0.0.1:" + std::to_string(testutil::FreePort())), list, shared);
        } catch (const CWIException&) {
            if (attempt == 5)
                throw;
        }
    }
    Loop loop(*endpoint);
    for (int i = 0; i < 3; ++i) {
        std::string page = Get(endpoint->port(), "/");
        EXPECT_EQ(StatusLine(page), "HTTP/1.1 200 OK");
        EXPECT_TRUE(HasHeader(page, "Content-Type: text/html; charset=utf-8")) << page;
        EXPECT_EQ(Body(page), "<p>1</p>\n");
    }
    EXPECT_EQ(metrics.load(), 0);
    std::string scrape = Get(endpoint->port(), "/metrics");
    EXPECT_TRUE(HasHeader(scrape, "Content-Type: text/plain; version=0.0.4; charset=utf-8")) << scrape;
    EXPECT_EQ(Body(scrape), "x 1\n");
    EXPECT_EQ(StatusLine(Get(endpoint->port(), "/index.html")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(pages.load(), 1);
    EXPECT_EQ(metrics.load(), 1);
}

TEST(MetricsEndpoint, EveryHeadOverTheLimitGets431)
{
    std::atomic<int> renders{0};
    auto endpoint = Make(renders, "x 1\n");
    Loop loop(*endpoint);
    const std::string start = "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\nX-Filler: ";
    for (size_t size = 8100; size <= 20000; size += 97) {
        std::string head = start + std::string(size - start.size() - 4, 'a') + "\r\n\r\n";
        ASSERT_EQ(head.size(), size);
        EXPECT_EQ(StatusLine(Exchange(endpoint->port(), head)), "HTTP/1.1 431 Request Header Fields Too Large")
            << size;
    }
    EXPECT_EQ(renders.load(), 0);
}

TEST(MetricsEndpoint, ListenAddresses)
{
    ListenAddress parsed;
    std::string reason;
    ASSERT_TRUE(ParseListenAddress("127.0.0.1:9464", parsed, reason)) << reason;
    EXPECT_EQ(parsed.address.ss_family, AF_INET);
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in*>(&parsed.address)->sin_port), 9464);
    ASSERT_TRUE(ParseListenAddress("[::1]:65535", parsed, reason)) << reason;
    EXPECT_EQ(parsed.address.ss_family, AF_INET6);
    EXPECT_EQ(parsed.length, sizeof(sockaddr_in6));
    EXPECT_TRUE(ParseListenAddress("0.0.0.0:1", parsed, reason));
    EXPECT_TRUE(ParseListenAddress("[::]:9464", parsed, reason));

    for (const char* bad : {"localhost:9464", "127.0.0.1", ":9464", "::1:9464", "[::1]9464", "",
                            "127.0.0.1 :80", "10.0.0.256:80", "[127.0.0.1]:80"}) {
        EXPECT_FALSE(ParseListenAddress(bad, parsed, reason)) << bad;
        EXPECT_EQ(reason, std::string("listen address '") + bad +
                              "' is not ADDRESS:PORT with a numeric IPv4 address or an IPv6 address in brackets");
    }
    for (const char* port : {"0", "65536", "+80", "80x", "123456", "-1", ""}) {
        std::string text = std::string("127.0.0.1:") + port;
        EXPECT_FALSE(ParseListenAddress(text, parsed, reason)) << text;
        EXPECT_EQ(reason, "listen address '" + text + "': port '" + port + "' is not a number from 1 to 65535");
    }

    // A port in use refused with the reason.
    std::atomic<int> renders{0};
    auto first = Make(renders, "");
    const std::string taken = "127.0.0.1:" + std::to_string(first->port());
    auto refusal = [](const std::string& listen) -> std::string {
        try {
            CMetricsEndpoint endpoint(Address(listen), [] { return std::string(); });
        } catch (const CWIException& e) {
            return e.what();
        }
        return "not refused";
    };
    EXPECT_EQ(refusal(taken), "Metrics endpoint: cannot listen on " + taken + " (Address already in use) (status=1)");
}

// The servers the service forks must not inherit the endpoint's descriptors.
TEST(MetricsEndpoint, DescriptorsCloseOnExec)
{
    std::atomic<int> renders{0};
    auto endpoint = Make(renders, "");
    Loop loop(*endpoint);
    int client = Connect(endpoint->port());
    ASSERT_TRUE(testutil::WaitUntil([&] { return loop.connections() == 1; }, 5000));
    int checked = 0;
    for (int fd = 3; fd < 1024; ++fd) {
        char link[256] = {};
        std::string path = "/proc/self/fd/" + std::to_string(fd);
        if (readlink(path.c_str(), link, sizeof link - 1) <= 0)
            continue;
        std::string target = link;
        if (target.rfind("socket:", 0) != 0 && target.rfind("anon_inode:", 0) != 0)
            continue;
        ++checked;
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << fd << " " << target;
    }
    EXPECT_GE(checked, 4);  // listening socket, epoll, the accepted one, the client
    close(client);
}

}  // namespace

// The probes on their own: where a host is probed, a readiness probe that
// sees a late listener, and the HTTP liveness probe's verdict by status.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "endpoints/Probes.h"
#include "shared/sockets.h"
#include "common/test_util.h"

namespace {

using Clock = Probes::Clock;

// Runs the probes' part of the loop until a result comes or 5 s passed.
std::vector<Probes::Result> RunUntilResult(Probes& probes)
{
    auto limit = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < limit) {
        std::vector<pollfd> fds;
        auto deadline = limit;
        probes.prepare(fds, deadline);
        int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(
                                      std::max(deadline - Clock::now(), Clock::duration(0)))
                                      .count());
        poll(fds.data(), fds.size(), ms);
        auto results = probes.dispatch(fds.data(), fds.size(), Clock::now());
        if (!results.empty())
            return results;
    }
    return {};
}

// A socket listening on 127.0.0.1:port.
int ListenAt(unsigned short port)
{
    sockets::Endpoint at = sockets::Endpoint::Loopback(port);
    return sockets::Listen(at, 8);
}

// Answers one connection with `statusLine` and closes.
std::thread Answer(int listener, const std::string& statusLine)
{
    return std::thread([listener, statusLine] {
        int client = accept(listener, nullptr, nullptr);
        char buffer[512];
        ssize_t ignored = read(client, buffer, sizeof buffer);
        ignored = write(client, statusLine.data(), statusLine.size());
        (void)ignored;
        close(client);
    });
}

TEST(ProbeTarget, WildcardsAndEmptyHostsAreProbedAtLoopback)
{
    auto v4 = [](const ProbeTarget& t) {
        return t.address.ss_family == AF_INET
                   ? ntohl(reinterpret_cast<const sockaddr_in&>(t.address).sin_addr.s_addr)
                   : 0u;
    };
    for (const char* host : {"", "0.0.0.0", "127.0.0.1"}) {
        ProbeTarget t = ProbeTarget::For(host, 8001);
        ASSERT_EQ(t.length, sizeof(sockaddr_in)) << host;
        EXPECT_EQ(v4(t), INADDR_LOOPBACK) << host;
        EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in&>(t.address).sin_port), 8001) << host;
    }
    ProbeTarget any6 = ProbeTarget::For("::", 8002);
    if (any6.length != 0) {  // a host without IPv6 resolves no such literal
        EXPECT_EQ(any6.address.ss_family, AF_INET6);
        EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6&>(any6.address).sin6_addr));
    }
    EXPECT_EQ(ProbeTarget::For("no-such-host.invalid", 8003).length, 0u);
}

TEST(Probes, ReadinessSeesALateListenerAndHttpLivenessJudgesTheStatus)
{
    unsigned short port = testutil::FreePort();
    Probes probes;
    auto began = Clock::now();
    probes.awaitReady(1, ProbeTarget::For("127.0.0.1", port), began);
    int listener = -1;
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        listener = ListenAt(port);
    });
    auto results = RunUntilResult(probes);
    late.join();
    ASSERT_GE(listener, 0);
    EXPECT_GE(Clock::now() - began, std::chrono::milliseconds(200));
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].kind, Probes::Kind::Ready);
    EXPECT_TRUE(results[0].ok);
    Probes::Kind kind;
    EXPECT_FALSE(probes.active(1, kind));  // told once, then gone
    close(accept(listener, nullptr, nullptr));  // the readiness probe's connection

    Probes::Liveness http{"/health", std::chrono::milliseconds(10), std::chrono::seconds(2)};
    probes.watch(2, ProbeTarget::For("127.0.0.1", port), http, Clock::now());
    for (const char* status : {"HTTP/1.1 404 Not Found\r\n", "HTTP/1.0 503 Unavailable\r\n", "nonsense\r\n"}) {
        std::thread answer = Answer(listener, status);
        results = RunUntilResult(probes);
        answer.join();
        ASSERT_EQ(results.size(), 1u) << status;
        EXPECT_EQ(results[0].kind, Probes::Kind::Alive);
        bool alive = std::string(status).find(" 404 ") != std::string::npos;
        EXPECT_EQ(results[0].ok, alive) << status << results[0].reason;
        EXPECT_NE(results[0].reason, "") << status;
    }
    EXPECT_TRUE(probes.active(2, kind));
    EXPECT_EQ(kind, Probes::Kind::Alive);
    close(listener);
}

TEST(Probes, ReadinessTriesAtOnceThenEveryFewMsForAFirstTenthThenBacksOff)
{
    // A port nobody listens on: every attempt is refused. The clock given to
    // the probes is the deadline each asked for, so the schedule is exact.
    Probes probes;
    const auto began = Clock::now();
    probes.awaitReady(1, ProbeTarget::For("127.0.0.1", testutil::FreePort()), began);
    std::vector<Clock::duration> attempts;
    for (auto now = began; now - began < std::chrono::seconds(1);) {
        std::vector<pollfd> fds;
        auto deadline = Clock::time_point::max();
        probes.prepare(fds, deadline);
        if (fds.empty()) {
            now = deadline;
            attempts.push_back(now - began);
        } else {
            ASSERT_EQ(poll(fds.data(), fds.size(), 5000), 1);
        }
        ASSERT_TRUE(probes.dispatch(fds.data(), fds.size(), now).empty());
    }
    ASSERT_FALSE(attempts.empty());
    EXPECT_EQ(attempts[0], Clock::duration(0));
    size_t first = 0;
    for (size_t i = 1; i < attempts.size(); ++i) {
        Clock::duration gap = attempts[i] - attempts[i - 1];
        if (attempts[i - 1] < std::chrono::milliseconds(100)) {
            ++first;
            EXPECT_LE(gap, std::chrono::milliseconds(3)) << i;
        } else {
            EXPECT_GE(gap, std::chrono::milliseconds(10)) << i;
            EXPECT_LE(gap, std::chrono::milliseconds(20)) << i;
        }
    }
    EXPECT_GE(first, 30u);  // every few ms...
    EXPECT_LE(first, 51u);  // ...and bounded in count
}

}  // namespace

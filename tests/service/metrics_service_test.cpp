// The service's own metrics through the real binary: -metrics and the HTTP
// endpoint give the same families, the numbers are right for a killed, a
// throttled and a held server, promtool accepts the text, and silent
// scrapers do not delay a restart.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

// The installation's servers are all in its one pool, "p".
std::string Labels(unsigned short port)
{
    return "{address=\"127.0.0.1\",port=\"" + std::to_string(port) + "\",pool=\"p\"";
}

int Connect(unsigned short port)
{
    return testutil::ConnectLoopback(port);
}

// GET path from the endpoint; the whole answer.
std::string Scrape(unsigned short port, const std::string& path = "/metrics")
{
    int fd = Connect(port);
    if (fd < 0)
        return "";
    std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        close(fd);
        return "";
    }
    std::string answer;
    char buffer[65536];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        answer.append(buffer, static_cast<size_t>(n));
    close(fd);
    return answer;
}

bool Has(const std::string& text, const std::string& line)
{
    return text.find("\n" + line + "\n") != std::string::npos;
}

TEST(ServiceMetrics, KilledThrottledAndHeldServersAndTheEndpoint)
{
    Installation inst(Installation::Use::Binary);
    unsigned short killed = inst.port(0), held = inst.port(1), failing = testutil::FreePort(),
                   endpoint = testutil::FreePort();
    inst.writeServerConfig({"<appserver host=\"127.0.0.1\" ports=\"" + std::to_string(killed) +
                            "," + std::to_string(held) + "," + std::to_string(failing) + "\"/>"});
    testutil::WriteFile(inst.path("config/tarvelsvc.conf"),
                        "[SERVICE]\nMETRICS_LISTEN=127.0.0.1:" + std::to_string(endpoint) + "\n");
    RunResult r = inst.Ctl({"-start"}, {"APPSRV_EXIT_CODE_" + std::to_string(failing) + "=3"});
    EXPECT_EQ(r.exitCode, 1);  // one server does not serve
    ASSERT_TRUE(inst.WaitForLog("failed 5 times within 60 s")) << testutil::ReadFile(inst.log());

    // Sixteen silent scrapers hold every connection the endpoint takes; a
    // killed server is restarted all the same, at once.
    std::vector<int> silent;
    for (int i = 0; i < 16; ++i)
        silent.push_back(Connect(endpoint));
    std::string before = inst.Ctl({"-metrics"}).out;
    pid_t victim = 0;
    for (pid_t pid : inst.Servers())
        if (testutil::ReadFile("/proc/" + std::to_string(pid) + "/cmdline")
                .find(std::to_string(killed)) != std::string::npos)
            victim = pid;
    ASSERT_GT(victim, 0);
    auto began = std::chrono::steady_clock::now();
    kill(victim, SIGKILL);
    ASSERT_TRUE(inst.WaitForLog("Server [127.0.0.1]:" + std::to_string(killed) + " serving after", 2,
                                5000));
    EXPECT_LT(testutil::ElapsedMs(began), 2000);
    for (int fd : silent)
        if (fd >= 0)
            close(fd);
    ASSERT_EQ(inst.Ctl({"-stopserver", "127.0.0.1:" + std::to_string(held)}).exitCode, 0);

    r = inst.Ctl({"-metrics"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string& m = r.out;
    EXPECT_TRUE(Has(m, "tarvel_server_restarts_total" + Labels(killed) + "} 1")) << m;
    EXPECT_TRUE(Has(m, "tarvel_server_last_signal" + Labels(killed) + "} 9")) << m;
    EXPECT_TRUE(Has(m, "tarvel_server_up" + Labels(killed) + "} 1")) << m;
    EXPECT_TRUE(Has(m, "tarvel_server_up" + Labels(held) + "} 0")) << m;
    EXPECT_TRUE(Has(m, "tarvel_server_state" + Labels(held) + ",state=\"stopped by operator\"} 1"))
        << m;
    EXPECT_TRUE(Has(m, "tarvel_server_throttled" + Labels(failing) + "} 1")) << m;
    EXPECT_TRUE(Has(m, "tarvel_server_last_exit_code" + Labels(failing) + "} 3")) << m;
    EXPECT_TRUE(Has(m, "tarvel_service_servers{state=\"serving\"} 1")) << m;
    EXPECT_TRUE(Has(m, "tarvel_service_servers{state=\"throttled\"} 1")) << m;
    EXPECT_NE(m.find("\nprocess_resident_memory_bytes "), std::string::npos) << m;
    EXPECT_NE(before, "");

    // The endpoint serves the same text; promtool reads it as Prometheus would.
    std::string http = Scrape(endpoint);
    EXPECT_EQ(http.rfind("HTTP/1.", 0), 0u) << http;
    EXPECT_NE(http.find("\r\n\r\n# HELP tarvel_service_info "), std::string::npos) << http;
    EXPECT_NE(http.find("tarvel_server_state" + Labels(held) + ",state=\"stopped by operator\"} 1"),
              std::string::npos);
    EXPECT_NE(Scrape(endpoint, "/other").find(" 404 "), std::string::npos);
    if (system("command -v promtool >/dev/null 2>&1") == 0) {
        testutil::WriteFile(inst.path("metrics.txt"), m);
        RunResult check = testutil::Run({"/bin/sh", "-c", "promtool check metrics < \"$0\"",
                                         inst.path("metrics.txt")});
        EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    }
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

// A reload to an address another socket holds fails with the reason and
// leaves the old endpoint serving; one to a free address moves it there.
TEST(ServiceMetrics, AReloadBindsTheNewAddressBeforeItClosesTheOld)
{
    Installation inst(Installation::Use::Binary);
    unsigned short server = inst.port(0), first = testutil::FreePort(), second = testutil::FreePort();
    inst.writeServerConfig({"<appserver host=\"127.0.0.1\" ports=\"" + std::to_string(server) + "\"/>"});
    auto listenOn = [&](unsigned short port) {
        testutil::WriteFile(inst.path("config/tarvelsvc.conf"),
                            "[SERVICE]\nMETRICS_LISTEN=127.0.0.1:" + std::to_string(port) + "\n");
    };
    listenOn(first);
    ASSERT_EQ(inst.Ctl({"-start"}).exitCode, 0);
    ASSERT_EQ(Scrape(first).rfind("HTTP/1.1 200", 0), 0u);

    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in taken{};
    taken.sin_family = AF_INET;
    taken.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&taken), sizeof taken), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    socklen_t length = sizeof taken;
    ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&taken), &length), 0);
    listenOn(ntohs(taken.sin_port));
    RunResult r = inst.Ctl({"-reload"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Address already in use"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(Scrape(first).rfind("HTTP/1.1 200", 0), 0u);
    close(holder);

    listenOn(second);
    r = inst.Ctl({"-reload"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(Scrape(second).rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(Scrape(first), "");
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

}  // namespace

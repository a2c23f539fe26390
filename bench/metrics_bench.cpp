// What one scrape of 1000 servers costs the metrics writer and the endpoint:
//   1. RenderMetrics alone: CPU and wall time per render (median and worst
//      of the rounds) and the size of the text;
//   2. ReadProcessMetrics alone (read from /proc on every scrape);
//   3. whole scrapes over HTTP: GET /metrics against a CMetricsEndpoint
//      driven by a loop of the service's shape on its own thread; the
//      loop thread's CPU per scrape and the client's wall time per scrape;
//   4. the resident memory before the endpoint, with it idle, and after the
//      scrapes (the text and the library's buffers);
//   5. RenderStatusPage of the same servers: CPU, wall time and size.
// The servers are in 20 pools of 50 (the pool label and the pool
// families); RenderMetrics of the same servers without pools is the
// baseline of the same run.
// Usage: metrics_bench [servers] [rounds]     (default 1000 100)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <stdexcept>
#include <thread>
#include <vector>

#include "endpoints/Metrics.h"
#include "endpoints/MetricsEndpoint.h"
#include "foundation/HostPort.h"
#include "service/StatusPage.h"
#include "bench_process.h"

namespace {

double Seconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::vector<ServerMetrics> Servers(unsigned count, const std::vector<std::string>& states)
{
    std::vector<ServerMetrics> servers(count);
    for (unsigned i = 0; i < count; ++i) {
        ServerMetrics& s = servers[i];
        s.address = "10.77." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        s.port = static_cast<unsigned short>(8001 + i % 1000);
        s.state = states[i % 7 == 0 ? i % states.size() : 2];
        s.up = s.state == "serving";
        s.restarts = i % 13;
        s.lastExitCode = i % 5 == 0 ? -1 : static_cast<int>(i % 3);
        s.lastSignal = i % 5 == 0 ? 9 : 0;
        s.startTime = 1712345678.0 + i * 0.001;
        s.readySeconds = s.up ? 0.01 * (i % 100) : -1;
        s.throttled = s.state == "throttled";
        s.pool = "pool" + std::to_string(i / 50);
    }
    return servers;
}

unsigned short FreePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    close(fd);
    return ntohs(a.sin_port);
}

// One GET /metrics; returns the bytes of the whole reply.
size_t Scrape(unsigned short port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(2);
    }
    const char request[] = "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
    size_t total = 0;
    char buffer[1 << 16];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        total += static_cast<size_t>(n);
    close(fd);
    return total;
}

void Report(const char* what, std::vector<double> cpu, std::vector<double> wall)
{
    std::printf("%-34s CPU median %7.3f ms, worst %7.3f ms; wall median %7.3f ms, worst %7.3f ms\n", what,
                bench::median(cpu, 0) * 1e3, *std::max_element(cpu.begin(), cpu.end()) * 1e3,
                bench::median(wall, 0) * 1e3, *std::max_element(wall.begin(), wall.end()) * 1e3);
}

// Parts 3 and 4: scrapes over HTTP and the resident memory.
void ScrapeOverHttp(const ServiceMetrics& service, const std::vector<ServerMetrics>& servers, int rounds)
{
    const long rssBefore = bench::procStatusKb(getpid(), "VmRSS");
    ListenAddress listen;
    std::string reason;
    if (!ParseListenAddress("127.0.0.1:" + std::to_string(FreePort()), listen, reason))
        throw std::runtime_error(reason);
    CMetricsEndpoint endpoint(listen, [&] { return RenderMetrics(service, servers, ReadProcessMetrics()); });
    const long rssIdle = bench::procStatusKb(getpid(), "VmRSS");
    std::atomic<bool> stop{false};
    std::atomic<double> loopCpu{0};
    std::thread loop([&] {
        while (!stop) {
            std::vector<pollfd> fds;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
            endpoint.prepare(fds, deadline);
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait.count() + 1)));
            const double c0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
            endpoint.dispatch(fds.data(), fds.size(), std::chrono::steady_clock::now());
            loopCpu = loopCpu + (Seconds(CLOCK_THREAD_CPUTIME_ID) - c0);
        }
    });
    std::vector<double> scrapeCpu, scrapeWall;
    size_t reply = 0;
    for (int r = 0; r < rounds; ++r) {
        const double c0 = loopCpu, w0 = Seconds(CLOCK_MONOTONIC);
        reply = Scrape(endpoint.port());
        scrapeWall.push_back(Seconds(CLOCK_MONOTONIC) - w0);
        usleep(2000);  // the loop's last dispatch of this scrape is counted
        scrapeCpu.push_back(loopCpu - c0);
    }
    stop = true;
    loop.join();
    const long rssAfter = bench::procStatusKb(getpid(), "VmRSS");
    std::printf("GET /metrics: the reply is %zu bytes\n", reply);
    Report("one scrape (loop thread / client)", scrapeCpu, scrapeWall);
    std::printf("RSS: %ld KiB before the endpoint, %ld KiB with it idle, %ld KiB after %d scrapes\n", rssBefore,
                rssIdle, rssAfter, rounds);
}

// Part 5: the status page of the same servers.
void StatusPageCost(const std::vector<ServerMetrics>& servers, int rounds)
{
    StatusPageService service;
    service.host = "host1";
    service.version = "1.0.0";
    service.startTime = 1712345000;
    std::vector<StatusPageServer> rows;
    for (const ServerMetrics& m : servers) {
        StatusPageServer row;
        row.status.address = m.address;
        row.status.port = m.port;
        row.status.pool = m.pool;
        row.status.state = m.state;
        row.status.pid = m.up ? 100000 + m.port : 0;
        row.status.uptimeSeconds = 86400 + m.port;
        row.status.restarts = static_cast<unsigned>(m.restarts);
        row.status.lastEnd = m.lastSignal != 0 ? "signal 9" : "";
        row.status.lastEndTime = row.status.lastEnd.empty() ? 0 : 1712345600;
        row.status.ready = m.up;
        row.memoryBytes = 123456789;
        row.cpuSeconds = 1234.5;
        rows.push_back(row);
    }
    std::vector<double> cpu, wall;
    size_t size = 0;
    for (int r = 0; r < rounds; ++r) {
        const double c0 = Seconds(CLOCK_THREAD_CPUTIME_ID), w0 = Seconds(CLOCK_MONOTONIC);
        size = RenderStatusPage(service, rows, 1712350000).size();
        cpu.push_back(Seconds(CLOCK_THREAD_CPUTIME_ID) - c0);
        wall.push_back(Seconds(CLOCK_MONOTONIC) - w0);
    }
    std::printf("status page of %zu servers (every figure known): %zu bytes (%.1f KiB)\n", rows.size(), size,
                size / 1024.0);
    Report("RenderStatusPage", cpu, wall);
}

}  // namespace

int main(int argc, char** argv)
{
    const unsigned count = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 100;
    ServiceMetrics service;
    service.version = "1.0.0";
    service.installation = "/opt/tarvel";
    service.stateNames = {"down",           "starting",    "serving", "not answering", "throttled",
                          "stopped by operator", "stop requested", "terminating", "killing"};
    const std::vector<ServerMetrics> servers = Servers(count, service.stateNames);
    const ProcessMetrics process = ReadProcessMetrics();

    std::vector<ServerMetrics> unpooled = servers;
    for (ServerMetrics& s : unpooled)
        s.pool.clear();
    std::vector<double> cpu, wall, readCpu, readWall, baseCpu, baseWall;
    size_t size = 0, baseSize = 0;
    for (int r = 0; r < rounds; ++r) {
        double b0 = Seconds(CLOCK_THREAD_CPUTIME_ID), bw = Seconds(CLOCK_MONOTONIC);
        baseSize = RenderMetrics(service, unpooled, process).size();
        baseCpu.push_back(Seconds(CLOCK_THREAD_CPUTIME_ID) - b0);
        baseWall.push_back(Seconds(CLOCK_MONOTONIC) - bw);
        double c0 = Seconds(CLOCK_THREAD_CPUTIME_ID), w0 = Seconds(CLOCK_MONOTONIC);
        size = RenderMetrics(service, servers, process).size();
        cpu.push_back(Seconds(CLOCK_THREAD_CPUTIME_ID) - c0);
        wall.push_back(Seconds(CLOCK_MONOTONIC) - w0);
        c0 = Seconds(CLOCK_THREAD_CPUTIME_ID), w0 = Seconds(CLOCK_MONOTONIC);
        ReadProcessMetrics();
        readCpu.push_back(Seconds(CLOCK_THREAD_CPUTIME_ID) - c0);
        readWall.push_back(Seconds(CLOCK_MONOTONIC) - w0);
    }
    std::printf("%u servers, %zu states: the text is %zu bytes\n", count, service.stateNames.size(), size);
    Report("RenderMetrics", cpu, wall);
    std::printf("without pools: %zu bytes (%.1f bytes a server with pools, %.1f without)\n", baseSize,
                double(size) / count, double(baseSize) / count);
    Report("RenderMetrics without pools", baseCpu, baseWall);
    std::printf("CPU median with pools / without: %.2f\n", bench::median(cpu, 0) / bench::median(baseCpu, 0));
    Report("ReadProcessMetrics", readCpu, readWall);

    ScrapeOverHttp(service, servers, rounds);
    StatusPageCost(servers, rounds);
    return 0;
}

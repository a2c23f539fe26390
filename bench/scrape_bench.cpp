// One scrape of the metrics of 1000 serving servers, against the real daemon
// (tarvelsvc -console in a throw-away installation):
//
//   scrape_bench [servers] [scrapes] [metrics-calls] [load-seconds]
//                                                     (defaults 1000 100 20 5)
//
// 1. Endpoint off: the daemon's VmRSS once every server serves, and
//    `tarvelsvc -metrics` (the whole command, through the control socket)
//    `metrics-calls` times: wall time, size, the daemon's CPU per call.
// 2. Endpoint on (METRICS_LISTEN on 127.0.0.1), a new daemon: VmRSS with the
//    endpoint idle, then `scrapes` GET /metrics one after another: the wall
//    time of each (connect to the last byte; median and worst), the size of
//    the reply, the daemon's CPU over all of them divided by their number
//    (utime + stime of /proc/<pid>/stat, and the scheduler's run time of
//    every thread from schedstat, which has nanoseconds), and VmRSS after.
// 3. Endpoint on, clients scraping in a loop, none, one and four: the
//    daemon's CPU per second over `load-seconds`, then every server killed
//    at once and the time until the last replacement listens, as a ratio to
//    the same restart without a scraper.
// 4. The status page, same daemon: GET / 10 times, 1.05 s apart (the daemon
//    renders it at most once a second): wall time, size, daemon CPU per
//    page; then a server killed with SIGKILL, from the
//    kill to the log's "serving after" of its new process, five times with
//    the endpoint idle and five times while 16 clients load the page in a
//    loop.
//
// The server is this program itself, started as <installation>/perl/bin/perl
// (a symlink to it): it listens on its -port at once, answers any request
// with 200, and ends on the daemon's shutdown request or SIGTERM; it writes
// its start to the file BENCH_REPORTS (see bench_daemon.h).
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_daemon.h"

namespace {

using bench::Installation;
using bench::ms;
using bench::nowNs;

size_t CountInFile(const std::string& path, const char* text)
{
    std::ifstream in(path);
    size_t n = 0;
    for (std::string line; std::getline(in, line);)
        n += line.find(text) != std::string::npos;
    return n;
}

// Starts tarvelsvc -console with a fresh log; true once `servers` serve.
bool StartDaemon(const Installation& inst, unsigned servers, pid_t* daemon)
{
    bench::writeFile(inst.log, "");
    *daemon = bench::startConsole(inst);
    if (bench::waitFor([&] { return CountInFile(inst.log, " serving after ") >= servers; }, 120,
                       50))
        return true;
    fprintf(stderr, "only %zu servers serve; see %s\n", CountInFile(inst.log, " serving after "),
            inst.dir.c_str());
    return false;
}

// One GET of `path`, connect to the last byte; the whole reply in *reply.
// False when it fails or takes more than 5 s.
bool Scrape(int port, std::string* reply, const std::string& path = "/metrics")
{
    reply->clear();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = bench::loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        perror("connect to the endpoint");
        close(fd);
        return false;
    }
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ssize_t ignored = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    (void)ignored;
    const int64_t until = nowNs() + 5000000000LL;
    char buffer[1 << 16];
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int left = int(std::max<int64_t>(0, (until - nowNs()) / 1000000));
        if (poll(&entry, 1, left) <= 0)
            break;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            close(fd);
            return n == 0 && reply->compare(0, 12, "HTTP/1.1 200") == 0;
        }
        reply->append(buffer, size_t(n));
    }
    close(fd);
    fprintf(stderr, "the scrape did not end within 5 s\n");
    return false;
}

// The trees' figures are in the text once they have been read (every
// ACCOUNTING_INTERVAL, or at -servers): one reading is asked for before the
// timing, so that a scrape is timed with the text a scraper gets in the
// steady state, and without a reading of its own.
void ReadFiguresOnce(const Installation& inst)
{
    std::string ignored;
    bench::control(inst, {"-servers"}, &ignored);
}

// Part 1: the endpoint off; -metrics through the control socket.
bool EndpointOff(const Installation& inst, unsigned servers, int calls)
{
    bench::writeFile(inst.dir + "/config/tarvelsvc.conf", bench::withAskedSettings("[SERVICE]\n"));
    pid_t daemon;
    bool ok = StartDaemon(inst, servers, &daemon);
    sleep(2);  // the last probes and log lines are done
    ReadFiguresOnce(inst);
    const long rss = bench::procStatusKb(daemon, "VmRSS");
    std::vector<double> wall;
    size_t bytes = 0;
    const bench::Usage before = bench::usageOf(daemon);
    for (int i = 0; ok && i < calls; ++i) {
        std::string out;
        const int64_t begin = nowNs();
        ok = bench::control(inst, {"-metrics"}, &out) == 0;
        wall.push_back(ms(nowNs() - begin));
        bytes = out.size();
    }
    const bench::Usage after = bench::usageOf(daemon);
    printf("endpoint off (%u servers serving):\n", servers);
    printf("  daemon VmRSS %ld KiB; after %d -metrics %ld KiB\n", rss, calls,
           bench::procStatusKb(daemon, "VmRSS"));
    printf("  tarvelsvc -metrics: wall median %.2f ms, worst %.2f ms; %zu bytes; daemon CPU per "
           "call %.3f ms (stat), %.3f ms (schedstat)\n",
           bench::median(wall, -1), bench::maximum(wall, -1), bytes, (after.cpu - before.cpu) * 1e3 / calls,
           (after.runNs - before.runNs) / 1e6 / calls);
    bench::stopDaemon(inst, daemon);
    return ok;
}

// The pid of the n-th server (from 0) in /servers.json; 0 when there is none.
pid_t ServerPid(int port, int n)
{
    std::string reply;
    if (!Scrape(port, &reply, "/servers.json"))
        return 0;
    size_t at = reply.find("\"pid\": ");
    for (int i = 0; i < n && at != std::string::npos; ++i)
        at = reply.find("\"pid\": ", at + 1);
    return at == std::string::npos ? 0 : pid_t(atol(reply.c_str() + at + 7));
}

// Milliseconds from the SIGKILL of the n-th server to its successor's
// "serving after"; < 0 when that took more than 30 s. *forkedMs: to the
// successor's start (the daemon's own reaction, before the new process has
// to start up and answer its probe).
double RestartMs(const Installation& inst, int port, int n, double* forkedMs)
{
    const pid_t victim = ServerPid(port, n);
    const size_t served = CountInFile(inst.log, " serving after ");
    const size_t started = CountInFile(inst.log, "Process::start(): started");
    *forkedMs = -1;
    if (victim <= 0)
        return -1;
    const int64_t begin = nowNs();
    kill(victim, SIGKILL);
    if (!bench::waitFor([&] { return CountInFile(inst.log, "Process::start(): started") > started; }, 30, 1))
        return -1;
    *forkedMs = ms(nowNs() - begin);
    if (!bench::waitFor([&] { return CountInFile(inst.log, " serving after ") > served; }, 30, 1))
        return -1;
    return ms(nowNs() - begin);
}

// 4. the status page, and a restart with and without 16 readers.
bool StatusPage(const Installation& inst, int port, pid_t daemon, int loads)
{
    // The daemon renders the page at most once a second: loads further
    // apart than that each cost a render.
    loads = std::min(loads, 10);
    std::vector<double> wall;
    std::string page;
    bool ok = true;
    const bench::Usage before = bench::usageOf(daemon);
    for (int i = 0; ok && i < loads; ++i) {
        const int64_t begin = nowNs();
        ok = Scrape(port, &page, "/");
        wall.push_back(ms(nowNs() - begin));
        usleep(1050000);
    }
    const bench::Usage after = bench::usageOf(daemon);
    const size_t head = page.find("\r\n\r\n");
    printf("status page:\n  GET /: wall median %.3f ms, worst %.3f ms; body %zu bytes\n", bench::median(wall, -1),
           bench::maximum(wall, -1), head == std::string::npos ? 0 : page.size() - head - 4);
    printf("  daemon CPU per page: %.3f ms (stat), %.3f ms (schedstat)\n", (after.cpu - before.cpu) * 1e3 / loads,
           (after.runNs - before.runNs) / 1e6 / loads);
    std::vector<double> idle, loaded, idleFork(5), loadedFork(5);
    for (int i = 0; i < 5; ++i) {
        idle.push_back(RestartMs(inst, port, i, &idleFork[i]));
        sleep(1);
    }
    std::atomic<bool> stop{false};
    std::atomic<long> pages{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 16; ++i)
        readers.emplace_back([&] {
            std::string reply;
            while (!stop)
                pages += Scrape(port, &reply, "/") ? 1 : 0;
        });
    usleep(500000);
    for (int i = 0; i < 5; ++i) {
        loaded.push_back(RestartMs(inst, port, 5 + i, &loadedFork[i]));
        sleep(1);
    }
    stop = true;
    for (std::thread& reader : readers)
        reader.join();
    printf("  a killed server, 5 kills each, with the endpoint idle / while 16 clients load the page in a loop "
           "(%ld pages):\n"
           "    kill to its successor's start: median %.1f / %.1f ms, worst %.1f / %.1f ms\n"
           "    kill to its successor serving: median %.1f / %.1f ms, worst %.1f / %.1f ms\n",
           pages.load(), bench::median(idleFork, -1), bench::median(loadedFork, -1), bench::maximum(idleFork, -1),
           bench::maximum(loadedFork, -1), bench::median(idle, -1), bench::median(loaded, -1),
           bench::maximum(idle, -1), bench::maximum(loaded, -1));
    const auto failed = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()) < 0; };
    return ok && !failed(idle) && !failed(loaded);
}

// Part 2: the endpoint on; `scrapes` GET /metrics.
bool EndpointOn(const Installation& inst, unsigned servers, int scrapes)
{
    const int port = inst.firstPort + int(servers);
    bench::writeFile(inst.dir + "/config/tarvelsvc.conf",
                     bench::withAskedSettings("[SERVICE]\nMETRICS_LISTEN=127.0.0.1:" +
                                              std::to_string(port) + "\n"));
    pid_t daemon;
    bool ok = StartDaemon(inst, servers, &daemon);
    sleep(2);
    ReadFiguresOnce(inst);
    const long rssIdle = bench::procStatusKb(daemon, "VmRSS");
    std::vector<double> wall;
    std::string reply;
    const bench::Usage before = bench::usageOf(daemon);
    for (int i = 0; ok && i < scrapes; ++i) {
        const int64_t begin = nowNs();
        ok = Scrape(port, &reply);
        wall.push_back(ms(nowNs() - begin));
        usleep(60000);  // the loop is back in its wait, and the endpoint's pace of accepts is kept
    }
    const bench::Usage after = bench::usageOf(daemon);
    const size_t head = reply.find("\r\n\r\n");
    printf("endpoint on at 127.0.0.1:%d (%u servers serving):\n", port, servers);
    printf("  daemon VmRSS %ld KiB with the endpoint idle; %ld KiB after %d scrapes\n", rssIdle,
           bench::procStatusKb(daemon, "VmRSS"), scrapes);
    printf("  GET /metrics: wall median %.3f ms, worst %.3f ms; reply %zu bytes (body %zu, %zu "
           "lines)\n",
           bench::median(wall, -1), bench::maximum(wall, -1), reply.size(),
           head == std::string::npos ? 0 : reply.size() - head - 4,
           size_t(std::count(reply.begin(), reply.end(), '\n')));
    printf("  daemon CPU per scrape: %.3f ms (stat), %.3f ms (schedstat); %.1f bytes per server\n",
           (after.cpu - before.cpu) * 1e3 / scrapes, (after.runNs - before.runNs) / 1e6 / scrapes,
           double(reply.size()) / servers);
    ok = ok && StatusPage(inst, port, daemon, scrapes);
    bench::stopDaemon(inst, daemon);
    return ok;
}

// Part 3 at one load: `clients` threads scrape in a loop while the daemon's
// CPU is measured over `seconds`; then every server is killed at once and
// the time to the last replacement's listen() is taken.
struct Load {
    double cpuPerSecond = 0;  // the daemon's, s of CPU per s
    double restartMs = 0;     // SIGKILL of all to the last replacement listening
    long scrapes = 0;
};

bool MeasureLoad(const Installation& inst, pid_t daemon, int port, unsigned servers, int clients,
                 double seconds, Load& load)
{
    std::atomic<bool> stop{false};
    std::atomic<long> scrapes{0};
    std::vector<std::thread> scrapers;
    for (int i = 0; i < clients; ++i)
        scrapers.emplace_back([&] {
            std::string reply;
            while (!stop)
                scrapes += Scrape(port, &reply) ? 1 : 0;
        });
    usleep(200000);  // the scrapers are under way
    const bench::Usage before = bench::usageOf(daemon);
    const int64_t begin = nowNs();
    usleep(useconds_t(seconds * 1e6));
    const bench::Usage after = bench::usageOf(daemon);
    load.cpuPerSecond = (after.cpu - before.cpu) / (double(nowNs() - begin) / 1e9);

    std::vector<pid_t> pids = bench::reportedPids(inst);
    const size_t reported = pids.size();
    const int64_t killed = nowNs();
    for (size_t i = reported - servers; i < reported; ++i)
        kill(pids[i], SIGKILL);
    const bool ok = bench::waitFor([&] { return bench::reportedPids(inst).size() >= reported + servers; }, 60, 5);
    load.restartMs = ms(nowNs() - killed);
    stop = true;
    for (std::thread& t : scrapers)
        t.join();
    load.scrapes = scrapes;
    if (!ok)
        fprintf(stderr, "the killed servers were not all back within 60 s\n");
    return ok;
}

// Part 3: the endpoint under 0, 1 and 4 clients scraping in a loop.
bool ScrapersAgainstRestarts(const Installation& inst, unsigned servers, double seconds)
{
    const int port = inst.firstPort + int(servers);
    bench::writeFile(inst.dir + "/config/tarvelsvc.conf",
                     bench::withAskedSettings("[SERVICE]\nMETRICS_LISTEN=127.0.0.1:" +
                                              std::to_string(port) + "\n"));
    bench::writeFile(inst.reports, "");
    pid_t daemon;
    bool ok = StartDaemon(inst, servers, &daemon);
    sleep(2);
    printf("clients scraping in a loop while all %u servers are killed at once:\n", servers);
    Load none;
    for (int clients : {0, 1, 4}) {
        Load load;
        ok = ok && MeasureLoad(inst, daemon, port, servers, clients, seconds, load);
        if (clients == 0)
            none = load;
        printf("  %d clients: %ld scrapes; daemon CPU %.3f s/s; restart of %u killed %.0f ms "
               "(%.2fx no scraper)\n",
               clients, load.scrapes, load.cpuPerSecond, servers, load.restartMs,
               none.restartMs > 0 ? load.restartMs / none.restartMs : 0);
        sleep(2);  // the restarted servers' probes are done
    }
    bench::stopDaemon(inst, daemon);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (bench::startedAsServer(argv[0]))
        bench::runServer(argc, argv);

    const unsigned servers = argc > 1 ? unsigned(atoi(argv[1])) : 1000;
    const int scrapes = argc > 2 ? std::max(1, atoi(argv[2])) : 100;
    const int calls = argc > 3 ? std::max(1, atoi(argv[3])) : 20;
    const double loadSeconds = argc > 4 ? std::max(1, atoi(argv[4])) : 5;
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    bench::raiseFileLimit();
    // One more port: the endpoint's.
    const Installation inst = bench::installWithReports("tarvel-scrape-bench-", 24000, servers, 1);
    const bool ok = EndpointOff(inst, servers, calls) && EndpointOn(inst, servers, scrapes) &&
                    ScrapersAgainstRestarts(inst, servers, loadSeconds);
    if (ok)
        std::filesystem::remove_all(inst.dir);
    return ok ? 0 : 1;
}

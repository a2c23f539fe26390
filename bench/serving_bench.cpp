// Serving, measured against the real daemon (tarvelsvc -console in a
// throw-away installation):
//
//   serving_bench [ready|probes|reload|notify|all] [window-seconds] [servers]
//                                              (defaults all 20 1000)
//
// ready   From a server's listen() to the daemon's "serving after" line in its
//         log, for servers that listen 0, 100, 500, 2000 ms after their
//         start, or at a random moment in the first 2000 ms (any<2000 in the
//         table): 25 servers started at once (two rounds), then each
//         restarted alone with -restartserver (two rounds). Per start, three
//         figures:
//           log    the bench sees the line (inotify on Service.log) minus the
//                  server's listen() (both CLOCK_MONOTONIC);
//           probe  the first connection reaching the server minus its
//                  listen(): the readiness probe's own delay;
//           ready  the daemon's "serving after X s" minus the server's own
//                  time from its first instruction to listen(): what the
//                  daemon adds, fork and exec included;
//           verdict (restarts alone) -restartserver's return minus the
//                  server's listen(): what the operator waits for.
// probes  With `servers` serving servers: the daemon's CPU time and wake-ups
//         (voluntary context switches, all threads) over `window` seconds,
//         scaled to a minute and a second, with LIVENESS=none, tcp and http
//         (every 10 s), switched by -reload of tarvelsvc.conf. The window
//         starts 5 s after the reload, so that it holds the same number of
//         probe rounds every time.
// reload  A 20-server pool whose OPTIONS change at every -reload: the time
//         -reload takes, and the fewest servers accepting at once, seen by a
//         client thread connecting to all 20 ports in a loop. The new servers
//         listen after 0 ms, then 500 ms.
// notify  10 servers, each restarted alone 5 times: -restartserver's return
//         minus the server's READY=1 with READINESS=notify, and minus its
//         listen() with READINESS=tcp, in one run; then 50 servers with
//         READINESS=notify idle for `window` seconds: the daemon's wake-ups.
//
// The server is this program itself, started as <installation>/perl/bin/perl
// (a symlink to it): it listens on its -port after a delay (BENCH_DELAYS, by
// port, or a --bench-delay=MS word of OPTIONS), answers HTTP, ends on the
// daemon's shutdown request or SIGTERM, and appends what it did to the file
// BENCH_REPORTS (see bench_daemon.h).
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_daemon.h"

namespace {

const char kHost[] = "127.0.0.1";

using bench::Installation;
using bench::ms;
using bench::nowNs;

// Collects the lines of a growing file with the moment each was seen.
class LogTail {
public:
    struct Line {
        int64_t seen;
        std::string text;
    };

    explicit LogTail(const std::string& path) : mPath(path)
    {
        bench::writeFile(path, "");
        mNotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        inotify_add_watch(mNotify, path.c_str(), IN_MODIFY);
        mThread = std::thread([this] { run(); });
    }
    ~LogTail()
    {
        mStop = true;
        mThread.join();
        close(mNotify);
    }
    std::vector<Line> lines()
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return mLines;
    }
    // Lines holding `text`.
    size_t count(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mMutex);
        return size_t(std::count_if(mLines.begin(), mLines.end(), [&](const Line& l) {
            return l.text.find(text) != std::string::npos;
        }));
    }

private:
    void run()
    {
        int fd = open(mPath.c_str(), O_RDONLY | O_CLOEXEC);
        std::string partial;
        while (!mStop) {
            pollfd entry{mNotify, POLLIN, 0};
            poll(&entry, 1, 50);
            const int64_t seen = nowNs();
            char events[4096];
            while (read(mNotify, events, sizeof events) > 0) {
            }
            char buffer[1 << 16];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
                partial.append(buffer, size_t(n));
            std::lock_guard<std::mutex> lock(mMutex);
            for (size_t end; (end = partial.find('\n')) != std::string::npos;) {
                mLines.push_back({seen, partial.substr(0, end)});
                partial.erase(0, end + 1);
            }
        }
        close(fd);
    }

    std::string mPath;
    int mNotify = -1;
    std::atomic<bool> mStop{false};
    std::mutex mMutex;
    std::vector<Line> mLines;
    std::thread mThread;
};

std::string ServingLine(int port)
{
    return std::string("Server [") + kHost + "]:" + std::to_string(port) + " serving after ";
}

}  // namespace

namespace {

// ---- ready: listen() to "serving" ----------------------------------------

struct Start {
    pid_t pid = 0;
    int64_t begun = 0, listened = 0, connected = -1;
};

struct Figures {
    std::vector<double> log, probe, ready, verdict;
};

// When each -restartserver returned, by port, in order.
using Returns = std::map<int, std::vector<int64_t>>;

// Every start reported, by port, in order; with its first connection.
std::map<int, std::vector<Start>> ReadStarts(const Installation& inst)
{
    std::map<int, std::vector<Start>> starts;
    std::map<pid_t, Start*> byPid;
    std::ifstream in(inst.reports);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string kind;
        int port = 0;
        Start s;
        int64_t when = 0;
        if (!(fields >> kind >> port >> s.pid >> when))
            continue;
        if (kind == "L" && fields >> s.listened) {
            s.begun = when;
            starts[port].push_back(s);
        } else if (kind == "C" && !starts[port].empty() && starts[port].back().pid == s.pid &&
                   starts[port].back().connected < 0) {
            starts[port].back().connected = when;
        }
    }
    return starts;
}

// Pairs the k-th "serving after" line of each port with its k-th start; the
// first start of a port goes to atOnce, the later ones to alone, by delay.
void Collect(const Installation& inst, const std::vector<LogTail::Line>& lines,
             std::map<int, Figures>& atOnce, std::map<int, Figures>& alone,
             const std::vector<int>& delays, unsigned servers, const Returns& returns)
{
    std::map<int, std::vector<Start>> starts = ReadStarts(inst);
    for (unsigned i = 0; i < servers; ++i) {
        const int port = inst.firstPort + int(i);
        const std::string marker = ServingLine(port);
        size_t k = 0;
        for (const LogTail::Line& line : lines) {
            size_t at = line.text.find(marker);
            if (at == std::string::npos)
                continue;
            if (k >= starts[port].size()) {
                fprintf(stderr, "port %d: a serving line without a reported start\n", port);
                break;
            }
            const Start& s = starts[port][k];
            auto returned = returns.find(port);
            if (k > 0 && returned != returns.end() && k - 1 < returned->second.size())
                alone[delays[i % delays.size()]].verdict.push_back(
                    ms(returned->second[k - 1] - s.listened));
            Figures& f = (k++ == 0 ? atOnce : alone)[delays[i % delays.size()]];
            const double after = atof(line.text.c_str() + at + marker.size());
            f.log.push_back(ms(line.seen - s.listened));
            if (s.connected >= 0)
                f.probe.push_back(ms(s.connected - s.listened));
            f.ready.push_back(after * 1e3 - ms(s.listened - s.begun));
        }
    }
}

// One daemon: 25 servers started at once, then `rounds` rounds of
// -restartserver of each in turn.
bool ReadyRun(std::map<int, Figures>& atOnce, std::map<int, Figures>& alone, int rounds)
{
    const std::vector<int> delays{0, 100, 500, 2000, -2000};
    const unsigned servers = 25;
    setenv("BENCH_DELAYS", "0,100,500,2000,-2000", 1);
    Installation inst = bench::installWithReports("tarvel-serving-bench-", 23000, servers, 0, "");
    bool ok;
    Returns returns;
    {
        LogTail tail(inst.dir + "/log/Service.log");
        pid_t daemon = bench::startConsole(inst);
        ok = bench::waitFor([&] { return tail.count(" serving after ") >= servers; }, 30);
        for (int r = 0; ok && r < rounds; ++r)
            for (unsigned i = 0; ok && i < servers; ++i) {
                std::string out;
                double ms;
                const std::string who = kHost + (":" + std::to_string(inst.firstPort + int(i)));
                ok = bench::control(inst, {"-restartserver", who}, &out, &ms) == 0;
                returns[inst.firstPort + int(i)].push_back(nowNs());
            }
        const size_t expected = servers * unsigned(rounds + 1);
        ok = ok && bench::waitFor([&] { return tail.count(" serving after ") >= expected; }, 5);
        if (!ok)
            fprintf(stderr, "ready: not every start served; see %s\n", inst.dir.c_str());
        bench::stopDaemon(inst, daemon);
        Collect(inst, tail.lines(), atOnce, alone, delays, servers, returns);
    }
    unsetenv("BENCH_DELAYS");
    if (ok)
        std::filesystem::remove_all(inst.dir);
    return ok;
}

void PrintFigures(const char* what, const std::map<int, Figures>& figures)
{
    printf("  %s:\n", what);
    printf("    %9s %4s %21s %21s %21s %21s\n", "listen at", "n", "log median/max ms",
           "probe median/max ms", "ready median/max ms", "verdict median/max ms");
    for (const auto& entry : figures) {
        const Figures& f = entry.second;
        auto max = [](const std::vector<double>& v) { return bench::maximum(v, -1); };
        const std::string at = entry.first < 0 ? "any<" + std::to_string(-entry.first)
                                               : std::to_string(entry.first);
        printf("    %9s %4zu %10.2f %10.2f %10.2f %10.2f %10.2f %10.2f %10.2f %10.2f\n",
               at.c_str(), f.log.size(), bench::median(f.log, -1), max(f.log),
               bench::median(f.probe, -1), max(f.probe), bench::median(f.ready, -1),
               max(f.ready), bench::median(f.verdict, -1), max(f.verdict));
    }
}

bool Ready()
{
    std::map<int, Figures> atOnce, alone;
    bool ok = ReadyRun(atOnce, alone, 2) && ReadyRun(atOnce, alone, 0);
    printf("ready: from a server's listen() to \"serving\" (log: the line seen in Service.log;\n"
           "  probe: the first connection at the server; ready: the daemon's own figure minus\n"
           "  the server's time to listen(), fork and exec included)\n");
    PrintFigures("25 servers started at once (2 rounds)", atOnce);
    PrintFigures("each server restarted alone with -restartserver (2 rounds)", alone);
    return ok;
}

}  // namespace

namespace {

// ---- probes: the cost of liveness ----------------------------------------

// Connections the servers reported (every one, with BENCH_CONNECTIONS).
long Connections(const Installation& inst)
{
    std::ifstream in(inst.reports);
    long n = 0;
    for (std::string line; std::getline(in, line);)
        n += line[0] == 'C';
    return n;
}

bool ProbeWindow(const Installation& inst, pid_t daemon, const char* liveness, int window)
{
    const int64_t switched = nowNs();
    if (strcmp(liveness, "none") != 0) {
        bench::writeFile(inst.dir + "/config/tarvelsvc.conf",
                         std::string("[SERVICE]\nLIVENESS=") + liveness +
                             "\nLIVENESS_INTERVAL=10\n");
        std::string out;
        double ms;
        if (bench::control(inst, {"-reload"}, &out, &ms) != 0) {
            fprintf(stderr, "-reload to LIVENESS=%s failed: %s\n", liveness, out.c_str());
            return false;
        }
    }
    // Probe rounds fall 10 s, 20 s... after the reload: 5 s in, a window of
    // N s holds the same number of them whatever the phase.
    usleep(useconds_t(std::max<int64_t>(0, switched + 5000000000LL - nowNs()) / 1000));
    const bench::Usage a = bench::usageOf(daemon);
    const long c0 = Connections(inst);
    const int64_t t0 = nowNs();
    sleep(unsigned(window));
    const bench::Usage b = bench::usageOf(daemon);
    const double seconds = double(nowNs() - t0) / 1e9;
    const long connections = Connections(inst) - c0;
    printf("  LIVENESS=%-4s CPU %7.1f ms/min (stat), %7.1f ms/min (schedstat); wake-ups %6.2f/s "
           "(involuntary %5.2f/s); probes seen by the servers %ld\n",
           liveness, (b.cpu - a.cpu) / seconds * 60e3, (b.runNs - a.runNs) / seconds * 60e-6,
           double(b.voluntary - a.voluntary) / seconds,
           double(b.involuntary - a.involuntary) / seconds, connections);
    return true;
}

bool ProbeCost(unsigned servers, int window)
{
    setenv("BENCH_CONNECTIONS", "1", 1);
    Installation inst = bench::installWithReports("tarvel-serving-bench-", 23000, servers, 0,
                                                  "[SERVICE]\nLIVENESS=none\n");
    bool ok;
    {
        LogTail tail(inst.dir + "/log/Service.log");
        const int64_t begin = nowNs();
        pid_t daemon = bench::startConsole(inst);
        ok = bench::waitFor([&] { return tail.count(" serving after ") >= servers; }, 120);
        printf("probes: %u servers, all serving %.0f ms after the daemon's start; windows of "
               "%d s, scaled to a minute\n",
               servers, ms(nowNs() - begin), window);
        if (!ok)
            fprintf(stderr, "probes: only %zu serving; see %s\n", tail.count(" serving after "),
                    inst.dir.c_str());
        printf("  daemon VmRSS %ld KiB\n", bench::procStatusKb(daemon, "VmRSS"));
        for (const char* liveness : {"none", "tcp", "http"})
            ok = ok && ProbeWindow(inst, daemon, liveness, window);
        bench::stopDaemon(inst, daemon);
    }
    unsetenv("BENCH_CONNECTIONS");
    if (ok)
        std::filesystem::remove_all(inst.dir);
    return ok;
}

// ---- reload: a rolling restart of a pool ---------------------------------

// Connects to every port of the pool in a loop; keeps the fewest accepting.
struct PoolWatch {
    std::atomic<bool> stop{false};
    std::atomic<int> fewest{1 << 30};
    std::atomic<long> sweeps{0};
    std::atomic<long> short_{0};  // sweeps that found a server not accepting

    void run(int firstPort, int count)
    {
        while (!stop) {
            int accepting = 0;
            for (int port = firstPort; port < firstPort + count; ++port) {
                const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in address = bench::loopback(port);
                accepting +=
                    connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
                close(fd);
            }
            fewest = std::min(fewest.load(), accepting);
            short_ += accepting < count;
            ++sweeps;
            usleep(200);
        }
    }
};

void WriteOptions(const Installation& inst, int delay, int round)
{
    bench::writeFile(inst.dir + "/config/WebInterface.conf",
                     "[GLOBAL]\nOPTIONS=--bench-delay=" + std::to_string(delay) +
                         " --bench-round=" + std::to_string(round) + "\n");
}

bool Reloads(int rounds)
{
    const unsigned servers = 20;
    Installation inst = bench::installWithReports("tarvel-serving-bench-", 23000, servers, 0, "");
    WriteOptions(inst, 0, 0);
    LogTail tail(inst.dir + "/log/Service.log");
    pid_t daemon = bench::startConsole(inst);
    bool ok = bench::waitFor([&] { return tail.count(" serving after ") >= servers; }, 30);
    printf("reload: %u servers, every command line changed at each -reload\n", servers);
    PoolWatch watch;
    std::thread client([&] { watch.run(inst.firstPort, int(servers)); });
    for (int round = 1; ok && round <= rounds; ++round) {
        const int delay = round % 2 == 1 ? 0 : 500;
        WriteOptions(inst, delay, round);
        usleep(100000);
        watch.fewest = 1 << 30;
        const long sweeps0 = watch.sweeps, short0 = watch.short_;
        std::string out;
        double ms;
        ok = bench::control(inst, {"-reload"}, &out, &ms) == 0;
        const long sweeps = watch.sweeps - sweeps0, shortOnes = watch.short_ - short0;
        std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);
        last.erase(last.find_last_not_of('\n') + 1);
        printf("  new servers listen after %3d ms: -reload %8.1f ms (\"%s\"); fewest accepting "
               "%d of %u over %ld sweeps (%.2f ms each; %ld short of %u)\n",
               delay, ms, last.c_str(), watch.fewest.load(), servers, sweeps,
               sweeps > 0 ? ms / double(sweeps) : 0.0, shortOnes, servers);
    }
    watch.stop = true;
    client.join();
    bench::stopDaemon(inst, daemon);
    if (ok)
        std::filesystem::remove_all(inst.dir);
    else
        fprintf(stderr, "reload failed; see %s\n", inst.dir.c_str());
    return ok;
}

}  // namespace

namespace {

// ---- notify: READY=1 to -restartserver's return, and the idle loop --------

// The k-th time of `kind` ("L": listen, "N": READY=1 sent) of each port.
std::map<int, std::vector<int64_t>> ReportTimes(const Installation& inst, const std::string& kind)
{
    std::map<int, std::vector<int64_t>> times;
    std::ifstream in(inst.reports);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string k;
        int port = 0;
        pid_t pid = 0;
        int64_t when = 0, listened = 0;
        if (fields >> k >> port >> pid >> when && k == kind)
            times[port].push_back(kind == "L" && fields >> listened ? listened : when);
    }
    return times;
}

// With `settings`, `servers` servers restarted alone `rounds` times each:
// -restartserver's return minus the server's READY=1 (or its listen()).
bool Verdicts(const std::string& settings, const std::string& kind, unsigned servers, int rounds,
              std::vector<double>& verdicts)
{
    Installation inst = bench::installWithReports("tarvel-serving-bench-", 23000, servers, 0, settings);
    LogTail tail(inst.dir + "/log/Service.log");
    pid_t daemon = bench::startConsole(inst);
    bool ok = bench::waitFor([&] { return tail.count(" serving after ") >= servers; }, 60);
    Returns returns;
    for (int r = 0; ok && r < rounds; ++r)
        for (unsigned i = 0; ok && i < servers; ++i) {
            std::string out;
            const int port = inst.firstPort + int(i);
            ok = bench::control(inst, {"-restartserver", kHost + (":" + std::to_string(port))}, &out) == 0;
            returns[port].push_back(nowNs());
        }
    bench::stopDaemon(inst, daemon);
    std::map<int, std::vector<int64_t>> ready = ReportTimes(inst, kind);
    for (const auto& entry : returns)
        for (size_t k = 0; k < entry.second.size() && k + 1 < ready[entry.first].size(); ++k)
            verdicts.push_back(ms(entry.second[k] - ready[entry.first][k + 1]));
    if (ok)
        std::filesystem::remove_all(inst.dir);
    else
        fprintf(stderr, "notify: a restart failed; see %s\n", inst.dir.c_str());
    return ok;
}

// `servers` servers with READINESS=notify, all serving: the daemon's
// wake-ups over `window` seconds, with the tree readings off (they wake the
// daemon every ACCOUNTING_INTERVAL on purpose).
bool IdleWakeups(unsigned servers, int window)
{
    Installation inst = bench::installWithReports(
        "tarvel-serving-bench-", 23000, servers, 0,
        std::string("[SERVICE]\nREADINESS=notify\nACCOUNTING_INTERVAL=0\n"));
    LogTail tail(inst.dir + "/log/Service.log");
    pid_t daemon = bench::startConsole(inst);
    bool ok = bench::waitFor([&] { return tail.count(" serving after ") >= servers; }, 60);
    sleep(2);
    const bench::Usage a = bench::usageOf(daemon);
    sleep(unsigned(window));
    const bench::Usage b = bench::usageOf(daemon);
    printf("  idle, %u servers, READINESS=notify, accounting off, %d s: %ld voluntary and %ld "
           "involuntary context switches of the daemon, CPU %.1f ms\n",
           servers, window, b.voluntary - a.voluntary, b.involuntary - a.involuntary,
           (b.runNs - a.runNs) / 1e6);
    bench::stopDaemon(inst, daemon);
    if (ok)
        std::filesystem::remove_all(inst.dir);
    return ok;
}

bool Notify(int window)
{
    std::vector<double> notify, tcp;
    bool ok = Verdicts("[SERVICE]\nREADINESS=notify\n", "N", 10, 5, notify);
    ok = Verdicts("[SERVICE]\nREADINESS=tcp\n", "L", 10, 5, tcp) && ok;
    printf("notify: -restartserver's return minus the server's READY=1 (notify) or listen() (tcp),\n"
           "  10 servers restarted alone 5 times each, in one run\n");
    printf("  READINESS=notify n %zu median %.2f ms max %.2f ms\n", notify.size(),
           bench::median(notify, -1), bench::maximum(notify, -1));
    printf("  READINESS=tcp    n %zu median %.2f ms max %.2f ms\n", tcp.size(),
           bench::median(tcp, -1), bench::maximum(tcp, -1));
    return IdleWakeups(50, window) && ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (bench::startedAsServer(argv[0]))
        bench::runServer(argc, argv);

    const std::string part = argc > 1 ? argv[1] : "all";
    const int window = argc > 2 ? atoi(argv[2]) : 20;
    const unsigned servers = argc > 3 ? unsigned(atoi(argv[3])) : 1000;
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    bench::raiseFileLimit();
    bool ok = true;
    if (part == "ready" || part == "all")
        ok = Ready() && ok;
    if (part == "probes" || part == "all")
        ok = ProbeCost(servers, window) && ok;
    if (part == "reload" || part == "all")
        ok = Reloads(4) && ok;
    if (part == "notify" || part == "all")
        ok = Notify(window) && ok;
    return ok ? 0 : 1;
}

// Serving, measured against the real daemon (tarvelsvc -console in a
// throw-away installation):
//
//   serving_bench [ready|probes|reload|all] [window-seconds] [servers]
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
//                  daemon adds, fork and exec included.
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
//
// The server is this program itself, started as <installation>/perl/bin/perl
// (a symlink to it): it listens on its -port after a delay (BENCH_DELAYS, by
// port, or a --bench-delay=MS word of OPTIONS), answers HTTP, ends on the
// daemon's shutdown request or SIGTERM, and appends what it did to the file
// BENCH_REPORTS.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_process.h"

namespace {

const char kHost[] = "127.0.0.1";

int64_t NowNs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double Ms(int64_t ns)
{
    return double(ns) / 1e6;
}

// ---- the server ----------------------------------------------------------

int gReports = -1;

void Report(const std::string& line)
{
    if (gReports >= 0) {
        ssize_t ignored = write(gReports, line.data(), line.size());
        (void)ignored;
    }
}

// The listen delay in ms: a --bench-delay=MS word, else BENCH_DELAYS (a comma
// list, by port from BENCH_FIRST_PORT on, round robin), else 0.
int DelayFor(int argc, char** argv, int port)
{
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], "--bench-delay=", 14) == 0)
            return atoi(argv[i] + 14);
    const char* list = getenv("BENCH_DELAYS");
    const char* first = getenv("BENCH_FIRST_PORT");
    if (list == nullptr || first == nullptr)
        return 0;
    std::vector<int> delays;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');)
        delays.push_back(atoi(item.c_str()));
    if (delays.empty())
        return 0;
    const int delay = delays[size_t(port - atoi(first)) % delays.size()];
    // A negative delay -N: any moment in [0, N), so that the listen() falls
    // at any phase of the probe's back-off.
    if (delay < 0) {
        srandom(unsigned(getpid()) ^ unsigned(NowNs()));
        return int(random() % -delay);
    }
    return delay;
}

int Listen(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 128) != 0)
        _exit(3);
    return fd;
}

// Reads what a client sent; true when the client is done with (EOF, a whole
// request answered, or too much).
bool ServeClient(int fd, std::string& request)
{
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EAGAIN)
        return false;
    if (n > 0)
        request.append(buffer, size_t(n));
    if (request.find("X-tarvel-EXTRAINFO: shutdown") != std::string::npos)
        _exit(0);
    if (n > 0 && request.find("\r\n\r\n") == std::string::npos && request.size() < 8192)
        return false;
    if (!request.empty()) {
        const char reply[] = "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nok\n";
        ssize_t ignored = send(fd, reply, sizeof reply - 1, MSG_NOSIGNAL);
        (void)ignored;
    }
    return true;
}

[[noreturn]] void RunServer(int argc, char** argv)
{
    const int64_t begun = NowNs();
    int port = 0;
    for (int i = 1; i + 1 < argc; ++i)
        if (strcmp(argv[i], "-port") == 0)
            port = atoi(argv[i + 1]);
    signal(SIGTERM, [](int) { _exit(0); });
    signal(SIGPIPE, SIG_IGN);
    if (const char* path = getenv("BENCH_REPORTS"))
        gReports = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    const bool everyConnection = getenv("BENCH_CONNECTIONS") != nullptr;
    usleep(useconds_t(DelayFor(argc, argv, port)) * 1000);
    const int listening = Listen(port);
    const int64_t listened = NowNs();
    const std::string me = std::to_string(port) + " " + std::to_string(getpid());
    Report("L " + me + " " + std::to_string(begun) + " " + std::to_string(listened) + "\n");
    std::map<int, std::string> clients;
    bool first = true;
    for (;;) {
        std::vector<pollfd> fds{{listening, POLLIN, 0}};
        for (const auto& c : clients)
            fds.push_back({c.first, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) <= 0)
            continue;
        const int64_t woke = NowNs();
        for (size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents != 0 && ServeClient(fds[i].fd, clients[fds[i].fd])) {
                close(fds[i].fd);
                clients.erase(fds[i].fd);
            }
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        const int client = accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0)
            continue;
        if (first || everyConnection)
            Report("C " + me + " " + std::to_string(woke) + "\n");
        first = false;
        if (clients.size() < 64)
            clients[client];
        else
            close(client);
    }
}

// ---- the installation and the daemon -------------------------------------

bool PortFree(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

// The first of `count` free ports in a row, above the ephemeral ones' usual
// start would collide less, so below 32768.
int FreePorts(int count)
{
    for (int base = 23000 + int(getpid() % 50) * 20; base + count < 32700; base += count) {
        int n = 0;
        while (n < count && PortFree(base + n))
            ++n;
        if (n == count)
            return base;
    }
    fprintf(stderr, "no %d free ports in a row\n", count);
    exit(2);
}

struct Installation {
    std::string dir;
    std::string exe;      // its bin/tarvelsvc
    std::string reports;  // the servers' report file
    int firstPort = 0;
};

Installation Install(unsigned servers, const std::string& settings)
{
    Installation inst;
    inst.firstPort = FreePorts(int(servers));
    inst.dir = bench::makeInstallation("tarvel-serving-bench-", unsigned(inst.firstPort), servers);
    mkdir((inst.dir + "/bin").c_str(), 0755);
    inst.exe = inst.dir + "/bin/tarvelsvc";
    std::filesystem::copy_file(TARVELSVC_PATH, inst.exe);
    chmod(inst.exe.c_str(), 0755);
    inst.reports = inst.dir + "/reports";
    bench::writeFile(inst.reports, "");
    bench::writeFile(inst.dir + "/config/tarvelsvc.conf", settings);
    bench::useInstallation(inst.dir);
    setenv("TARVEL_IPLIST", kHost, 1);
    setenv("BENCH_REPORTS", inst.reports.c_str(), 1);
    setenv("BENCH_FIRST_PORT", std::to_string(inst.firstPort).c_str(), 1);
    return inst;
}

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
            const int64_t seen = NowNs();
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

// Waits until `done` holds, at most `seconds`; polls every 20 ms.
template <typename Done>
bool WaitFor(Done done, double seconds)
{
    const int64_t until = NowNs() + int64_t(seconds * 1e9);
    while (!done()) {
        if (NowNs() > until)
            return false;
        usleep(20000);
    }
    return true;
}

pid_t StartDaemon(const Installation& inst)
{
    pid_t pid = fork();
    if (pid == 0) {
        int out = open((inst.dir + "/console.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        execl(inst.exe.c_str(), inst.exe.c_str(), "-console", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

bool Ended(pid_t pid)
{
    return waitpid(pid, nullptr, WNOHANG) != 0;
}

// The parent of a process that runs; 0 when it is gone or a zombie.
pid_t ParentOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t name = stat.rfind(')');
    if (name == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(name + 1));
    std::string state;
    pid_t parent = 0;
    fields >> state >> parent;
    return state == "Z" ? 0 : parent;
}

// The pids of every server that reported its listen().
std::vector<pid_t> ReportedPids(const Installation& inst)
{
    std::ifstream in(inst.reports);
    std::vector<pid_t> pids;
    std::string kind;
    int port;
    pid_t pid;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        if (fields >> kind >> port >> pid && kind == "L")
            pids.push_back(pid);
    }
    return pids;
}

// SIGTERM, up to 60 s for the stop, then SIGKILL; then ends the servers that
// this process inherited (it is their subreaper) and reaps every child.
void StopDaemon(const Installation& inst, pid_t daemon)
{
    kill(daemon, SIGTERM);
    if (!WaitFor([&] { return Ended(daemon); }, 60)) {
        fprintf(stderr, "the daemon did not stop within 60 s; killing it\n");
        kill(daemon, SIGKILL);
        waitpid(daemon, nullptr, 0);
    }
    for (pid_t pid : ReportedPids(inst))
        if (ParentOf(pid) == getpid())
            kill(pid, SIGKILL);
    // Reaps until no child is left (ECHILD), at most 5 s.
    WaitFor([] {
        pid_t reaped;
        while ((reaped = waitpid(-1, nullptr, WNOHANG)) > 0) {
        }
        return reaped < 0;
    }, 5);
}

// Runs bin/tarvelsvc with `args`; returns its exit status, its standard
// output in *out and its wall time in ms.
int Control(const Installation& inst, const std::vector<std::string>& args, std::string* out,
            double* ms)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        exit(2);
    std::vector<char*> argv{const_cast<char*>(inst.exe.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int64_t begin = NowNs();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    char buffer[1 << 16];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        out->append(buffer, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    *ms = Ms(NowNs() - begin);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

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
    std::vector<double> log, probe, ready;
};

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
             const std::vector<int>& delays, unsigned servers)
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
            Figures& f = (k++ == 0 ? atOnce : alone)[delays[i % delays.size()]];
            const double after = atof(line.text.c_str() + at + marker.size());
            f.log.push_back(Ms(line.seen - s.listened));
            if (s.connected >= 0)
                f.probe.push_back(Ms(s.connected - s.listened));
            f.ready.push_back(after * 1e3 - Ms(s.listened - s.begun));
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
    Installation inst = Install(servers, "");
    bool ok;
    {
        LogTail tail(inst.dir + "/log/Service.log");
        pid_t daemon = StartDaemon(inst);
        ok = WaitFor([&] { return tail.count(" serving after ") >= servers; }, 30);
        for (int r = 0; ok && r < rounds; ++r)
            for (unsigned i = 0; ok && i < servers; ++i) {
                std::string out;
                double ms;
                const std::string who = kHost + (":" + std::to_string(inst.firstPort + int(i)));
                ok = Control(inst, {"-restartserver", who}, &out, &ms) == 0;
            }
        const size_t expected = servers * unsigned(rounds + 1);
        ok = ok && WaitFor([&] { return tail.count(" serving after ") >= expected; }, 5);
        if (!ok)
            fprintf(stderr, "ready: not every start served; see %s\n", inst.dir.c_str());
        StopDaemon(inst, daemon);
        Collect(inst, tail.lines(), atOnce, alone, delays, servers);
    }
    unsetenv("BENCH_DELAYS");
    if (ok)
        std::filesystem::remove_all(inst.dir);
    return ok;
}

void PrintFigures(const char* what, const std::map<int, Figures>& figures)
{
    printf("  %s:\n", what);
    printf("    %9s %4s %21s %21s %21s\n", "listen at", "n", "log median/max ms",
           "probe median/max ms", "ready median/max ms");
    for (const auto& entry : figures) {
        const Figures& f = entry.second;
        auto max = [](const std::vector<double>& v) {
            return v.empty() ? -1 : *std::max_element(v.begin(), v.end());
        };
        const std::string at = entry.first < 0 ? "any<" + std::to_string(-entry.first)
                                               : std::to_string(entry.first);
        printf("    %9s %4zu %10.2f %10.2f %10.2f %10.2f %10.2f %10.2f\n", at.c_str(),
               f.log.size(), bench::median(f.log, -1), max(f.log), bench::median(f.probe, -1),
               max(f.probe), bench::median(f.ready, -1), max(f.ready));
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

// What /proc says about the daemon: CPU time (utime + stime, in seconds; and
// the scheduler's run time of every thread, in ns) and context switches of
// every thread.
struct Usage {
    double cpu = 0;
    double runNs = 0;
    long voluntary = 0, involuntary = 0;
};

Usage Sample(pid_t pid)
{
    Usage u;
    std::istringstream fields = bench::procStatFields(pid);
    std::string f;
    for (int i = 3; i <= 15 && fields >> f; ++i)
        if (i == 14 || i == 15)
            u.cpu += double(std::stoul(f)) / double(sysconf(_SC_CLK_TCK));
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    while (dir != nullptr) {
        struct dirent* entry = readdir(dir);
        if (entry == nullptr)
            break;
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream sched(tasks + "/" + entry->d_name + "/schedstat");
        double ns = 0;
        if (sched >> ns)
            u.runNs += ns;
        std::ifstream status(tasks + "/" + entry->d_name + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0)
                u.voluntary += atol(line.c_str() + 24);
            if (line.compare(0, 27, "nonvoluntary_ctxt_switches:") == 0)
                u.involuntary += atol(line.c_str() + 27);
        }
    }
    if (dir != nullptr)
        closedir(dir);
    return u;
}

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
    const int64_t switched = NowNs();
    if (strcmp(liveness, "none") != 0) {
        bench::writeFile(inst.dir + "/config/tarvelsvc.conf",
                         std::string("[SERVICE]\nLIVENESS=") + liveness +
                             "\nLIVENESS_INTERVAL=10\n");
        std::string out;
        double ms;
        if (Control(inst, {"-reload"}, &out, &ms) != 0) {
            fprintf(stderr, "-reload to LIVENESS=%s failed: %s\n", liveness, out.c_str());
            return false;
        }
    }
    // Probe rounds fall 10 s, 20 s... after the reload: 5 s in, a window of
    // N s holds the same number of them whatever the phase.
    usleep(useconds_t(std::max<int64_t>(0, switched + 5000000000LL - NowNs()) / 1000));
    const Usage a = Sample(daemon);
    const long c0 = Connections(inst);
    const int64_t t0 = NowNs();
    sleep(unsigned(window));
    const Usage b = Sample(daemon);
    const double seconds = double(NowNs() - t0) / 1e9;
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
    Installation inst = Install(servers, "[SERVICE]\nLIVENESS=none\n");
    bool ok;
    {
        LogTail tail(inst.dir + "/log/Service.log");
        const int64_t begin = NowNs();
        pid_t daemon = StartDaemon(inst);
        ok = WaitFor([&] { return tail.count(" serving after ") >= servers; }, 120);
        printf("probes: %u servers, all serving %.0f ms after the daemon's start; windows of "
               "%d s, scaled to a minute\n",
               servers, Ms(NowNs() - begin), window);
        if (!ok)
            fprintf(stderr, "probes: only %zu serving; see %s\n", tail.count(" serving after "),
                    inst.dir.c_str());
        printf("  daemon VmRSS %ld KiB\n", bench::procStatusKb(daemon, "VmRSS"));
        for (const char* liveness : {"none", "tcp", "http"})
            ok = ok && ProbeWindow(inst, daemon, liveness, window);
        StopDaemon(inst, daemon);
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
                int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_port = htons(uint16_t(port));
                address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                accepting +=
                    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
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
    Installation inst = Install(servers, "");
    WriteOptions(inst, 0, 0);
    LogTail tail(inst.dir + "/log/Service.log");
    pid_t daemon = StartDaemon(inst);
    bool ok = WaitFor([&] { return tail.count(" serving after ") >= servers; }, 30);
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
        ok = Control(inst, {"-reload"}, &out, &ms) == 0;
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
    StopDaemon(inst, daemon);
    if (ok)
        std::filesystem::remove_all(inst.dir);
    else
        fprintf(stderr, "reload failed; see %s\n", inst.dir.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* name = strrchr(argv[0], '/');
    if (name != nullptr && strcmp(name, "/perl") == 0)
        RunServer(argc, argv);

    const std::string part = argc > 1 ? argv[1] : "all";
    const int window = argc > 2 ? atoi(argv[2]) : 20;
    const unsigned servers = argc > 3 ? unsigned(atoi(argv[3])) : 1000;
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // Every server holds its listening socket and the daemon its probes;
    // this process needs few, but its children inherit the limit.
    struct rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    bool ok = true;
    if (part == "ready" || part == "all")
        ok = Ready() && ok;
    if (part == "probes" || part == "all")
        ok = ProbeCost(servers, window) && ok;
    if (part == "reload" || part == "all")
        ok = Reloads(4) && ok;
    return ok ? 0 : 1;
}

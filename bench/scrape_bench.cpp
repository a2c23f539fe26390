// One scrape of the metrics of 1000 serving servers, against the real daemon
// (tarvelsvc -console in a throw-away installation):
//
//   scrape_bench [servers] [scrapes] [metrics-calls]     (defaults 1000 100 20)
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
//
// The server is this program itself, started as <installation>/perl/bin/perl
// (a symlink to it): it listens on its -port at once, answers any request
// with 200, and ends on the daemon's shutdown request or SIGTERM; it writes
// its pid to the file BENCH_REPORTS.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
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

sockaddr_in Loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// ---- the server ----------------------------------------------------------

// Reads what a client sent; true when the client is done with.
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
    int port = 0;
    for (int i = 1; i + 1 < argc; ++i)
        if (strcmp(argv[i], "-port") == 0)
            port = atoi(argv[i + 1]);
    signal(SIGTERM, [](int) { _exit(0); });
    signal(SIGPIPE, SIG_IGN);
    const int listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in address = Loopback(port);
    if (listening < 0 ||
        bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listening, 128) != 0)
        _exit(3);
    if (const char* path = getenv("BENCH_REPORTS")) {
        const int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
        const std::string line = std::to_string(getpid()) + "\n";
        ssize_t ignored = write(fd, line.data(), line.size());
        (void)ignored;
        close(fd);
    }
    std::map<int, std::string> clients;
    for (;;) {
        std::vector<pollfd> fds{{listening, POLLIN, 0}};
        for (const auto& c : clients)
            fds.push_back({c.first, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) <= 0)
            continue;
        for (size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents != 0 && ServeClient(fds[i].fd, clients[fds[i].fd])) {
                close(fds[i].fd);
                clients.erase(fds[i].fd);
            }
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        const int client = accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client >= 0 && clients.size() < 64)
            clients[client];
        else if (client >= 0)
            close(client);
    }
}

}  // namespace

namespace {

// ---- the installation and the daemon -------------------------------------

bool PortFree(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    const bool free = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

// The first of `count` free ports in a row, below the usual ephemeral ones.
int FreePorts(int count)
{
    for (int base = 24000 + int(getpid() % 50) * 20; base + count < 32700; base += count) {
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
    std::string reports;  // the servers' pids
    std::string log;
    int firstPort = 0;
};

Installation Install(unsigned servers)
{
    Installation inst;
    // One more port: the endpoint's.
    inst.firstPort = FreePorts(int(servers) + 1);
    inst.dir = bench::makeInstallation("tarvel-scrape-bench-", unsigned(inst.firstPort), servers);
    mkdir((inst.dir + "/bin").c_str(), 0755);
    inst.exe = inst.dir + "/bin/tarvelsvc";
    std::filesystem::copy_file(TARVELSVC_PATH, inst.exe);
    chmod(inst.exe.c_str(), 0755);
    inst.reports = inst.dir + "/reports";
    inst.log = inst.dir + "/log/Service.log";
    bench::writeFile(inst.reports, "");
    bench::useInstallation(inst.dir);
    setenv("TARVEL_IPLIST", kHost, 1);
    setenv("BENCH_REPORTS", inst.reports.c_str(), 1);
    return inst;
}

// Waits until `done` holds, at most `seconds`; polls every 50 ms.
template <typename Done>
bool WaitFor(Done done, double seconds)
{
    const int64_t until = NowNs() + int64_t(seconds * 1e9);
    while (!done()) {
        if (NowNs() > until)
            return false;
        usleep(50000);
    }
    return true;
}

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
    *daemon = fork();
    if (*daemon == 0) {
        const int out = open((inst.dir + "/console.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        execl(inst.exe.c_str(), inst.exe.c_str(), "-console", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (WaitFor([&] { return CountInFile(inst.log, " serving after ") >= servers; }, 120))
        return true;
    fprintf(stderr, "only %zu servers serve; see %s\n", CountInFile(inst.log, " serving after "),
            inst.dir.c_str());
    return false;
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

// SIGTERM, up to 60 s for the stop, then SIGKILL; then ends the servers that
// this process inherited (it is their subreaper) and reaps every child.
void StopDaemon(const Installation& inst, pid_t daemon)
{
    kill(daemon, SIGTERM);
    if (!WaitFor([&] { return waitpid(daemon, nullptr, WNOHANG) != 0; }, 60)) {
        fprintf(stderr, "the daemon did not stop within 60 s; killing it\n");
        kill(daemon, SIGKILL);
        waitpid(daemon, nullptr, 0);
    }
    std::ifstream in(inst.reports);
    for (pid_t pid; in >> pid;)
        if (ParentOf(pid) == getpid())
            kill(pid, SIGKILL);
    WaitFor([] {
        pid_t reaped;
        while ((reaped = waitpid(-1, nullptr, WNOHANG)) > 0) {
        }
        return reaped < 0;
    }, 5);
}

// Runs bin/tarvelsvc with `args`; returns its exit status and its standard
// output in *out.
int Control(const Installation& inst, const std::vector<std::string>& args, std::string* out)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        exit(2);
    std::vector<char*> argv{const_cast<char*>(inst.exe.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
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
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// The daemon's CPU time: utime + stime in seconds, and the scheduler's run
// time of every thread in ns.
struct Cpu {
    double stat = 0;
    double runNs = 0;
};

Cpu CpuOf(pid_t pid)
{
    Cpu cpu;
    std::istringstream fields = bench::procStatFields(pid);
    std::string f;
    for (int i = 3; i <= 15 && fields >> f; ++i)
        if (i == 14 || i == 15)
            cpu.stat += double(std::stoul(f)) / double(sysconf(_SC_CLK_TCK));
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    for (struct dirent* entry; dir != nullptr && (entry = readdir(dir)) != nullptr;) {
        std::ifstream sched(tasks + "/" + entry->d_name + "/schedstat");
        double ns = 0;
        if (entry->d_name[0] != '.' && sched >> ns)
            cpu.runNs += ns;
    }
    if (dir != nullptr)
        closedir(dir);
    return cpu;
}

double Max(const std::vector<double>& v)
{
    return v.empty() ? -1 : *std::max_element(v.begin(), v.end());
}

}  // namespace

namespace {

// One GET /metrics, connect to the last byte; the whole reply in *reply.
// False when it fails or takes more than 5 s.
bool Scrape(int port, std::string* reply)
{
    reply->clear();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        perror("connect to the endpoint");
        close(fd);
        return false;
    }
    const char request[] = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ssize_t ignored = send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
    (void)ignored;
    const int64_t until = NowNs() + 5000000000LL;
    char buffer[1 << 16];
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int left = int(std::max<int64_t>(0, (until - NowNs()) / 1000000));
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

// Part 1: the endpoint off; -metrics through the control socket.
bool EndpointOff(const Installation& inst, unsigned servers, int calls)
{
    bench::writeFile(inst.dir + "/config/tarvelsvc.conf", "[SERVICE]\n");
    pid_t daemon;
    bool ok = StartDaemon(inst, servers, &daemon);
    sleep(2);  // the last probes and log lines are done
    const long rss = bench::procStatusKb(daemon, "VmRSS");
    std::vector<double> wall;
    size_t bytes = 0;
    const Cpu before = CpuOf(daemon);
    for (int i = 0; ok && i < calls; ++i) {
        std::string out;
        const int64_t begin = NowNs();
        ok = Control(inst, {"-metrics"}, &out) == 0;
        wall.push_back(Ms(NowNs() - begin));
        bytes = out.size();
    }
    const Cpu after = CpuOf(daemon);
    printf("endpoint off (%u servers serving):\n", servers);
    printf("  daemon VmRSS %ld KiB; after %d -metrics %ld KiB\n", rss, calls,
           bench::procStatusKb(daemon, "VmRSS"));
    printf("  tarvelsvc -metrics: wall median %.2f ms, worst %.2f ms; %zu bytes; daemon CPU per "
           "call %.3f ms (stat), %.3f ms (schedstat)\n",
           bench::median(wall, -1), Max(wall), bytes, (after.stat - before.stat) * 1e3 / calls,
           (after.runNs - before.runNs) / 1e6 / calls);
    StopDaemon(inst, daemon);
    return ok;
}

// Part 2: the endpoint on; `scrapes` GET /metrics.
bool EndpointOn(const Installation& inst, unsigned servers, int scrapes)
{
    const int port = inst.firstPort + int(servers);
    bench::writeFile(inst.dir + "/config/tarvelsvc.conf",
                     "[SERVICE]\nMETRICS_LISTEN=127.0.0.1:" + std::to_string(port) + "\n");
    pid_t daemon;
    bool ok = StartDaemon(inst, servers, &daemon);
    sleep(2);
    const long rssIdle = bench::procStatusKb(daemon, "VmRSS");
    std::vector<double> wall;
    std::string reply;
    const Cpu before = CpuOf(daemon);
    for (int i = 0; ok && i < scrapes; ++i) {
        const int64_t begin = NowNs();
        ok = Scrape(port, &reply);
        wall.push_back(Ms(NowNs() - begin));
        usleep(10000);  // the loop is back in its wait
    }
    const Cpu after = CpuOf(daemon);
    const size_t head = reply.find("\r\n\r\n");
    printf("endpoint on at 127.0.0.1:%d (%u servers serving):\n", port, servers);
    printf("  daemon VmRSS %ld KiB with the endpoint idle; %ld KiB after %d scrapes\n", rssIdle,
           bench::procStatusKb(daemon, "VmRSS"), scrapes);
    printf("  GET /metrics: wall median %.3f ms, worst %.3f ms; reply %zu bytes (body %zu, %zu "
           "lines)\n",
           bench::median(wall, -1), Max(wall), reply.size(),
           head == std::string::npos ? 0 : reply.size() - head - 4,
           size_t(std::count(reply.begin(), reply.end(), '\n')));
    printf("  daemon CPU per scrape: %.3f ms (stat), %.3f ms (schedstat)\n",
           (after.stat - before.stat) * 1e3 / scrapes, (after.runNs - before.runNs) / 1e6 / scrapes);
    StopDaemon(inst, daemon);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* name = strrchr(argv[0], '/');
    if (name != nullptr && strcmp(name, "/perl") == 0)
        RunServer(argc, argv);

    const unsigned servers = argc > 1 ? unsigned(atoi(argv[1])) : 1000;
    const int scrapes = argc > 2 ? std::max(1, atoi(argv[2])) : 100;
    const int calls = argc > 3 ? std::max(1, atoi(argv[3])) : 20;
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    struct rlimit files;
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    const Installation inst = Install(servers);
    const bool ok = EndpointOff(inst, servers, calls) && EndpointOn(inst, servers, scrapes);
    if (ok)
        std::filesystem::remove_all(inst.dir);
    return ok ? 0 : 1;
}

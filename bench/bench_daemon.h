// The benchmarks that run the real daemon (tarvelsvc -console or -start in a
// throw-away installation): the installation with its own bin/tarvelsvc and
// free ports, the server they all start (this program itself, as
// <installation>/perl/bin/perl), the daemon's start, stop and control
// commands, and what /proc says about its CPU.
//
// The server listens on its -port after a delay (BENCH_DELAYS, by port, or a
// --bench-delay=MS word of OPTIONS), answers any request with 200, ends on
// the daemon's shutdown request or SIGTERM, and appends to the file
// BENCH_REPORTS a line "L port pid begun listened" once it listens and
// "C port pid woke" at its first connection (at every one with
// BENCH_CONNECTIONS), times in CLOCK_MONOTONIC ns.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench_process.h"

namespace bench {

inline sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A socket listening on 127.0.0.1:port; ends the process with status 3 when
// it cannot.
inline int listenOn(int port, int backlog)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in address = loopback(port);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, backlog) != 0)
        _exit(3);
    return fd;
}

// ---- the server ----------------------------------------------------------

// Appends line to the report file fd, when there is one.
inline void reportLine(int fd, const std::string& line)
{
    if (fd >= 0) {
        ssize_t ignored = write(fd, line.data(), line.size());
        (void)ignored;
    }
}

// The listen delay in ms: a --bench-delay=MS word, else BENCH_DELAYS (a comma
// list, by port from BENCH_FIRST_PORT on, round robin), else 0.
inline int listenDelay(int argc, char** argv, int port)
{
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--bench-delay=", 14) == 0)
            return std::atoi(argv[i] + 14);
    const char* list = std::getenv("BENCH_DELAYS");
    const char* first = std::getenv("BENCH_FIRST_PORT");
    if (list == nullptr || first == nullptr)
        return 0;
    std::vector<int> delays;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');)
        delays.push_back(std::atoi(item.c_str()));
    if (delays.empty())
        return 0;
    const int delay = delays[size_t(port - std::atoi(first)) % delays.size()];
    // A negative delay -N: any moment in [0, N), so that the listen() falls
    // at any phase of the probe's back-off.
    if (delay < 0) {
        srandom(unsigned(getpid()) ^ unsigned(nowNs()));
        return int(random() % -delay);
    }
    return delay;
}

// Reads what a client sent; true when the client is done with (EOF, a whole
// request answered, or too much).
inline bool serveClient(int fd, std::string& request)
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

// Serves the clients of `listening` (64 at once at most) for ever; reports
// the first connection, or every one with BENCH_CONNECTIONS.
[[noreturn]] inline void serveForever(int listening, int reports, const std::string& me)
{
    const bool everyConnection = std::getenv("BENCH_CONNECTIONS") != nullptr;
    std::map<int, std::string> clients;
    bool first = true;
    for (;;) {
        std::vector<pollfd> fds{{listening, POLLIN, 0}};
        for (const auto& c : clients)
            fds.push_back({c.first, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) <= 0)
            continue;
        const int64_t woke = nowNs();
        for (size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents != 0 && serveClient(fds[i].fd, clients[fds[i].fd])) {
                close(fds[i].fd);
                clients.erase(fds[i].fd);
            }
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        const int client = accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0)
            continue;
        if (first || everyConnection)
            reportLine(reports, "C " + me + " " + std::to_string(woke) + "\n");
        first = false;
        if (clients.size() < 64)
            clients[client];
        else
            close(client);
    }
}

// Accepts clients on `listening` one at a time and ends the process (status
// 0) on the daemon's shutdown request; the readiness probe's connection,
// which sends nothing, is just closed.
[[noreturn]] inline void serveUntilShutdown(int listening)
{
    for (;;) {
        const int client = accept(listening, nullptr, nullptr);
        char buffer[512];
        std::string request;
        for (ssize_t n; request.find("\r\n\r\n") == std::string::npos &&
                        (n = read(client, buffer, sizeof buffer)) > 0;)
            request.append(buffer, size_t(n));
        if (request.find("shutdown") != std::string::npos)
            _exit(0);
        close(client);
    }
}

// The server's main: see the top of this file.
// With NOTIFY_SOCKET set, sends READY=1 there as sd_notify does and reports
// the moment before the send ("N port pid ns").
inline void notifyReady(int reports, const std::string& me)
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    if (path == nullptr || path[0] != '/' || std::strlen(path) >= sizeof address.sun_path)
        return;
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int64_t sent = nowNs();
    if (sendto(fd, "READY=1\n", 8, 0, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 8)
        reportLine(reports, "N " + me + " " + std::to_string(sent) + "\n");
    close(fd);
}

[[noreturn]] inline void runServer(int argc, char** argv)
{
    const int64_t begun = nowNs();
    const int port = portArgument(argc, argv);
    signal(SIGTERM, [](int) { _exit(0); });
    signal(SIGPIPE, SIG_IGN);
    int reports = -1;
    if (const char* path = std::getenv("BENCH_REPORTS"))
        reports = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    usleep(useconds_t(listenDelay(argc, argv, port)) * 1000);
    const int listening = listenOn(port, 128);
    const int64_t listened = nowNs();
    const std::string me = std::to_string(port) + " " + std::to_string(getpid());
    reportLine(reports, "L " + me + " " + std::to_string(begun) + " " + std::to_string(listened) +
                            "\n");
    notifyReady(reports, me);
    serveForever(listening, reports, me);
}

// ---- the installation ----------------------------------------------------

struct Installation {
    std::string dir;
    std::string exe;      // its bin/tarvelsvc
    std::string reports;  // the servers' report file; empty when none
    std::string log;      // its Service.log
    int firstPort = 0;
};

inline bool portFree(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    const bool free = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

// The first of `count` free ports in a row from about `lowest` on, below the
// usual ephemeral ones (32768); ends the process when there are none.
inline int freePorts(int count, int lowest)
{
    for (int base = lowest + int(getpid() % 50) * 20; base + count < 32700; base += count) {
        int n = 0;
        while (n < count && portFree(base + n))
            ++n;
        if (n == count)
            return base;
    }
    std::fprintf(stderr, "no %d free ports in a row\n", count);
    std::exit(2);
}

// makeInstallation's, with its own copy of bin/tarvelsvc, and this process's
// environment pointed at it.
inline Installation installDaemon(const char* prefix, unsigned firstPort, unsigned servers)
{
    Installation inst;
    inst.firstPort = int(firstPort);
    inst.dir = makeInstallation(prefix, firstPort, servers);
    mkdir((inst.dir + "/bin").c_str(), 0755);
    inst.exe = inst.dir + "/bin/tarvelsvc";
    // BENCH_TARVELSVC times another build (an earlier one, say) in the same bench.
    const char* program = std::getenv("BENCH_TARVELSVC");
    std::filesystem::copy_file(program != nullptr ? program : TARVELSVC_PATH, inst.exe);
    chmod(inst.exe.c_str(), 0755);
    inst.log = inst.dir + "/log/Service.log";
    useInstallation(inst.dir);
    setenv("TARVEL_IPLIST", "127.0.0.1", 1);
    return inst;
}

// The daemon's settings `own` with BENCH_SETTINGS after them, to time one
// mode against another (BENCH_SETTINGS=$'[SERVICE]\nCONTAINMENT=session\n',
// say); its [SERVICE] line is left out after settings of a bench's own.
inline std::string withAskedSettings(const std::string& own)
{
    const char* asked = std::getenv("BENCH_SETTINGS");
    std::string more = asked != nullptr ? asked : "";
    const std::string section = "[SERVICE]\n";
    if (!own.empty() && more.compare(0, section.size(), section) == 0)
        more.erase(0, section.size());
    return own + more;
}

// installDaemon's on `servers` free ports from about `lowest` on, with
// `spare` free ports after them, an empty report file for the servers, and
// tarvelsvc.conf holding `settings` when given.
inline Installation installWithReports(const char* prefix, int lowest, unsigned servers,
                                       unsigned spare,
                                       const std::optional<std::string>& settings = std::nullopt)
{
    const int firstPort = freePorts(int(servers + spare), lowest);
    Installation inst = installDaemon(prefix, unsigned(firstPort), servers);
    inst.reports = inst.dir + "/reports";
    writeFile(inst.reports, "");
    const std::string text = withAskedSettings(settings ? *settings : "");
    if (!text.empty())
        writeFile(inst.dir + "/config/tarvelsvc.conf", text);
    setenv("BENCH_REPORTS", inst.reports.c_str(), 1);
    setenv("BENCH_FIRST_PORT", std::to_string(inst.firstPort).c_str(), 1);
    return inst;
}

// ---- the daemon ----------------------------------------------------------

// Waits until `done` holds, at most `seconds`; polls every pollMs.
template <typename Done>
bool waitFor(Done done, double seconds, int pollMs = 20)
{
    const int64_t until = nowNs() + int64_t(seconds * 1e9);
    while (!done()) {
        if (nowNs() > until)
            return false;
        usleep(useconds_t(pollMs) * 1000);
    }
    return true;
}

// Starts tarvelsvc -console, its output in console.out; returns its pid.
inline pid_t startConsole(const Installation& inst)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int out =
            open((inst.dir + "/console.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        execl(inst.exe.c_str(), inst.exe.c_str(), "-console", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// The pids of every server that reported its listen().
inline std::vector<pid_t> reportedPids(const Installation& inst)
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

// Sends `signal` to the supervisor pid and waits up to 60 s for its end
// (then SIGKILL); then ends those of `servers` that this process inherited
// (it is their subreaper) and reaps every child.
inline void endAndReap(pid_t pid, int signal, const std::vector<pid_t>& servers)
{
    kill(pid, signal);
    if (!waitFor([&] { return waitpid(pid, nullptr, WNOHANG) != 0; }, 60)) {
        std::fprintf(stderr, "supervisor %d did not stop within 60 s; killing it\n", int(pid));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (pid_t server : servers)
        if (parentOf(server) == getpid())
            kill(server, SIGKILL);
    // Reaps until no child is left (ECHILD), at most 5 s.
    waitFor([] {
        pid_t reaped;
        while ((reaped = waitpid(-1, nullptr, WNOHANG)) > 0) {
        }
        return reaped < 0;
    }, 5);
}

// SIGTERM, up to 60 s for the stop, then SIGKILL; then ends the servers that
// this process inherited and reaps every child.
inline void stopDaemon(const Installation& inst, pid_t daemon)
{
    endAndReap(daemon, SIGTERM, reportedPids(inst));
}

// Runs bin/tarvelsvc with `args`; returns its exit status, its standard
// output in *out and, when wallMs is given, its wall time in ms.
inline int control(const Installation& inst, const std::vector<std::string>& args,
                   std::string* out, double* wallMs = nullptr)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        std::exit(2);
    std::vector<char*> argv{const_cast<char*>(inst.exe.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int64_t begin = nowNs();
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
    if (wallMs != nullptr)
        *wallMs = ms(nowNs() - begin);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// What /proc says about a process: CPU time (utime + stime, in seconds; and
// the scheduler's run time of every thread, in ns) and context switches of
// every thread.
struct Usage {
    double cpu = 0;
    double runNs = 0;
    long voluntary = 0, involuntary = 0;
};

// Adds the run time and the context switches of the thread in dir to u.
inline void addThreadUsage(const std::string& dir, Usage& u)
{
    std::ifstream sched(dir + "/schedstat");
    double ns = 0;
    if (sched >> ns)
        u.runNs += ns;
    std::ifstream status(dir + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0)
            u.voluntary += std::atol(line.c_str() + 24);
        if (line.compare(0, 27, "nonvoluntary_ctxt_switches:") == 0)
            u.involuntary += std::atol(line.c_str() + 27);
    }
}

inline Usage usageOf(pid_t pid)
{
    Usage u;
    std::istringstream fields = procStatFields(pid);
    std::string f;
    for (int i = 3; i <= 15 && fields >> f; ++i)
        if (i == 14 || i == 15)
            u.cpu += double(std::stoul(f)) / double(sysconf(_SC_CLK_TCK));
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    for (struct dirent* entry; dir != nullptr && (entry = readdir(dir)) != nullptr;)
        if (entry->d_name[0] != '.')
            addThreadUsage(tasks + "/" + entry->d_name, u);
    if (dir != nullptr)
        closedir(dir);
    return u;
}

}  // namespace bench

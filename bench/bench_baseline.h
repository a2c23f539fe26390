// The real daemon against a bare loop in C that links libc only, both
// starting the same small server (libc_loop as <installation>/perl/bin/perl).
// The measure is the server's own first act: it appends "S port pid ns"
// (CLOCK_MONOTONIC) to the report file before anything else, so neither the
// daemon's readiness probe nor this process's polling is in the figures.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bench_daemon.h"

namespace bench {

// installWithReports's, with the libc-only server in place of this program.
inline Installation installBaseline(const char* prefix, int lowest, unsigned servers)
{
    Installation inst = installWithReports(prefix, lowest, servers, 0);
    const std::string perl = inst.dir + "/perl/bin/perl";
    if (unlink(perl.c_str()) != 0 || symlink(LIBC_LOOP_PATH, perl.c_str()) != 0) {
        std::perror(perl.c_str());
        std::exit(2);
    }
    return inst;
}

// The servers' starts as they report them, read on from where the last read
// ended; the latest pid per port.
class Starts {
public:
    explicit Starts(const Installation& inst) : mPath(inst.reports)
    {
        writeFile(mPath, "");
    }
    // Waits until `count` starts were reported in all, at most `seconds`.
    bool waitCount(size_t count, double seconds)
    {
        return waitFor([&] { return read() >= count; }, seconds, 2);
    }
    // Waits for a start of `port` after `since`; its time, or -1.
    int64_t waitPort(int port, int64_t since, double seconds)
    {
        int64_t at = -1;
        waitFor([&] {
            read();
            for (auto it = mAll.rbegin(); it != mAll.rend() && at < 0; ++it)
                if (it->port == port && it->ns > since)
                    at = it->ns;
            return at >= 0;
        }, seconds, 1);
        return at;
    }
    // The times of all starts so far, in order.
    std::vector<int64_t> times() const
    {
        std::vector<int64_t> t;
        for (const auto& s : mAll)
            t.push_back(s.ns);
        std::sort(t.begin(), t.end());
        return t;
    }
    const std::map<int, pid_t>& pids() const { return mPidOf; }
    std::vector<pid_t> allPids() const
    {
        std::vector<pid_t> p;
        for (const auto& s : mAll)
            p.push_back(s.pid);
        return p;
    }

private:
    struct Start {
        int port;
        pid_t pid;
        int64_t ns;
    };
    size_t read()
    {
        std::ifstream in(mPath);
        in.seekg(std::streamoff(mOffset));
        std::string line;
        while (std::getline(in, line) && !in.eof()) {
            mOffset += line.size() + 1;
            std::istringstream fields(line);
            std::string kind;
            Start s{};
            if (fields >> kind >> s.port >> s.pid >> s.ns && kind == "S") {
                mAll.push_back(s);
                mPidOf[s.port] = s.pid;
            }
        }
        return mAll.size();
    }
    std::string mPath;
    size_t mOffset = 0;
    std::vector<Start> mAll;
    std::map<int, pid_t> mPidOf;
};

// The bare loop over the installation's servers; returns its pid.
inline pid_t startLibcLoop(const Installation& inst, unsigned servers)
{
    const std::string perl = inst.dir + "/perl/bin/perl";
    const std::string script = inst.dir + "/cart/DE_TARVEL/WebInterface/Scripts/appsrv.pl";
    const std::string count = std::to_string(servers);
    const std::string first = std::to_string(inst.firstPort);
    const pid_t pid = fork();
    if (pid == 0) {
        execl(LIBC_LOOP_PATH, LIBC_LOOP_PATH, "loop", perl.c_str(), script.c_str(),
              count.c_str(), first.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// Ends the daemon (its stop) or the loop (SIGKILL), then every reported
// server that this process inherited as their subreaper, and reaps.
inline void endSupervisor(pid_t pid, bool daemon, const Starts& starts)
{
    endAndReap(pid, daemon ? SIGTERM : SIGKILL, starts.allPids());
}

// Kills `kills` servers in turn, spread over the ports (the restart throttle
// counts quick ends per server), and returns ms from each SIGKILL to its
// replacement's own first act.
inline std::vector<double> timeRestarts(Starts& starts, int kills)
{
    std::vector<double> latencies;
    std::vector<int> ports;
    for (const auto& p : starts.pids())
        ports.push_back(p.first);
    for (int i = 0; i < kills && !ports.empty(); ++i) {
        usleep(20000 + (i % 7) * 11000);  // the supervisor settles, at varying phases
        const int port = ports[(size_t(i) * 7919) % ports.size()];
        const int64_t t0 = nowNs();
        kill(starts.pids().at(port), SIGKILL);
        const int64_t at = starts.waitPort(port, t0, 10);
        if (at < 0)
            break;
        latencies.push_back(ms(at - t0));
    }
    return latencies;
}

// One round of one supervisor: ms from its launch to each server's start,
// in order, and the restart latencies of `kills` kills.
struct Round {
    std::vector<double> startMs;
    std::vector<double> restartMs;
    long pssKb = -1;  // the supervisor's, once all run
    double clientCpuMs = -1;  // one `tarvelsvc -servers`, median
    long clientFaults = -1;   // its minor page faults, median
};

// `calls` runs of `tarvelsvc -servers` against the running service, output
// discarded: the median CPU time (user and system) and minor page faults.
inline void clientCost(const Installation& inst, int calls, double* cpuMs, long* faults)
{
    std::vector<double> cpu, minflt;
    for (int i = 0; i < calls; ++i) {
        long peak = 0;
        struct rusage usage {};
        runMeasured({inst.exe, "-servers"}, &peak, &usage, true);
        cpu.push_back((usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                      (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3);
        minflt.push_back(double(usage.ru_minflt));
    }
    *cpuMs = median(cpu, -1);
    *faults = long(median(minflt, -1));
}

// The shared objects `exe` maps, as ldd lists them (the vDSO left out).
inline int sharedObjects(const std::string& exe)
{
    const std::string command = "LD_TRACE_LOADED_OBJECTS=1 '" + exe + "'";
    FILE* list = popen(command.c_str(), "r");
    int count = 0;
    char line[4096];
    while (list != nullptr && std::fgets(line, sizeof line, list) != nullptr)
        count += std::strstr(line, "linux-vdso") == nullptr;
    if (list != nullptr)
        pclose(list);
    return count;
}

// The proportional set size of `pid` in kB, from smaps_rollup; -1 unread.
inline long pssKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Pss:", 0) == 0)
            return std::atol(line.c_str() + 4);
    return -1;
}

inline Round runRound(const Installation& inst, unsigned servers, bool daemon, int kills)
{
    Starts starts(inst);
    Round round;
    const int64_t t0 = nowNs();
    const pid_t pid = daemon ? startConsole(inst) : startLibcLoop(inst, servers);
    if (starts.waitCount(servers, 120)) {
        for (int64_t t : starts.times())
            round.startMs.push_back(ms(t - t0));
        usleep(300 * 1000);  // the last starts' wake-ups are over
        round.pssKb = procStatusKb(pid, "Pss", "smaps_rollup");
        round.restartMs = timeRestarts(starts, kills);
        if (daemon)
            clientCost(inst, 20, &round.clientCpuMs, &round.clientFaults);
    } else {
        std::fprintf(stderr, "%s: not all %u servers started\n", daemon ? "daemon" : "loop",
                     servers);
    }
    endSupervisor(pid, daemon, starts);
    return round;
}

// ms from SIGKILL of `port`'s server to its replacement's first act; -1
// when none came within 10 s.
inline double killOne(Starts& starts, int port)
{
    const int64_t t0 = nowNs();
    kill(starts.pids().at(port), SIGKILL);
    const int64_t at = starts.waitPort(port, t0, 10);
    return at < 0 ? -1 : ms(at - t0);
}

// The daemon and the loop running at once, each with `servers` servers of
// its own, and `kills` kills of each in alternating pairs (the daemon's
// first in every other pair), so that the machine's drift reaches both
// alike. Returns the restart latencies, the daemon's first.
inline std::pair<std::vector<double>, std::vector<double>> pairedRestarts(unsigned servers,
                                                                          int kills)
{
    Installation loop = installBaseline("tarvel-pair-loop-", 25000, servers);
    Installation daemon = installBaseline("tarvel-pair-daemon-", 24000, servers);
    Starts daemonStarts(daemon), loopStarts(loop);
    const pid_t daemonPid = startConsole(daemon);
    setenv("BENCH_REPORTS", loop.reports.c_str(), 1);
    setenv("BENCH_FIRST_PORT", std::to_string(loop.firstPort).c_str(), 1);
    const pid_t loopPid = startLibcLoop(loop, servers);
    std::pair<std::vector<double>, std::vector<double>> times;
    if (daemonStarts.waitCount(servers, 120) && loopStarts.waitCount(servers, 120)) {
        usleep(300 * 1000);  // the last starts' wake-ups are over
        for (int i = 0; i < kills; ++i) {
            const size_t which = (size_t(i) * 7919) % servers;
            for (int side = 0; side < 2; ++side) {
                usleep(20000 + (i % 7) * 11000);  // each supervisor settles, at varying phases
                const bool ofDaemon = (side == 0) == (i % 2 == 0);
                Starts& starts = ofDaemon ? daemonStarts : loopStarts;
                const int port = (ofDaemon ? daemon : loop).firstPort + int(which);
                const double latency = starts.pids().count(port) != 0 ? killOne(starts, port) : -1;
                if (latency >= 0)
                    (ofDaemon ? times.first : times.second).push_back(latency);
            }
        }
    }
    endSupervisor(daemonPid, true, daemonStarts);
    endSupervisor(loopPid, false, loopStarts);
    std::filesystem::remove_all(daemon.dir);
    std::filesystem::remove_all(loop.dir);
    return times;
}

// Prints one figure of a run: the daemon's, the loop's and their ratio;
// returns the ratio.
inline double reportPair(const char* what, double daemon, double loop)
{
    std::printf("    %-28s daemon %9.3f ms, libc loop %9.3f ms, ratio %.2f\n", what, daemon, loop,
                daemon / loop);
    return daemon / loop;
}

inline std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return one + " / " + five;
}

}  // namespace bench

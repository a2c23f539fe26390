// What one accounting round of many server trees costs, in both kinds of
// containment:
//   session: one pass over /proc (every process of the host), the trees
//            assigned by session and parentage, the usage summed per tree;
//   cgroup:  per server its cgroup.procs, its members' stat and cpu.stat.
// Each server is a leader of its own session with two children that pause.
// Reports CPU time (user + system) and wall time per round (median), and the
// share of one core that a round every `interval` seconds takes. As a
// baseline in the same run: one read of /proc/self/stat per process
// accounted (the least any /proc-based figure per process costs).
// Usage: tree_accounting_bench [servers] [rounds] [interval]   (1000 20 10)
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "baselib/kx_cgroup.h"
#include "baselib/kx_cgroupusage.h"
#include "baselib/kx_proctree.h"
#include "baselib/kx_session.h"
#include "bench_process.h"

namespace {

struct Server {
    pid_t leader = 0;
    uint64_t start = 0;
    int cgroup = -1;
};

double CpuSeconds()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A leader that waits for the go byte (after its move into a cgroup), then
// forks two children; all three pause until killed.
Server StartServer(int proc, int cgroup)
{
    int go[2];
    if (pipe(go) != 0)
        std::exit(2);
    Server server;
    server.cgroup = cgroup;
    server.leader = fork();
    if (server.leader == 0) {
        char byte;
        close(go[1]);
        if (setsid() < 0 || read(go[0], &byte, 1) != 1)
            _exit(1);
        for (int i = 0; i < 2; i++)
            if (fork() == 0)
                for (;;)
                    pause();
        for (;;)
            pause();
    }
    close(go[0]);
    if (cgroup >= 0 && KXCgroupMoveProcess(cgroup, server.leader) != ERROR_NONE)
        std::exit(2);
    KXProcStat stat;
    if (KXProcReadStat(proc, server.leader, &stat) != ERROR_NONE || write(go[1], "g", 1) != 1)
        std::exit(2);
    close(go[1]);
    server.start = stat.startTime;
    return server;
}

// Runs round() `rounds` times; the median CPU and wall seconds of one.
template <class Round>
std::pair<double, double> Measure(int rounds, Round round)
{
    std::vector<double> cpu;
    std::vector<double> wall;
    for (int i = 0; i < rounds; i++) {
        const double cpuBefore = CpuSeconds();
        const int64_t before = bench::nowNs();
        round();
        wall.push_back(double(bench::nowNs() - before) / 1e9);
        cpu.push_back(CpuSeconds() - cpuBefore);
    }
    std::sort(cpu.begin(), cpu.end());
    std::sort(wall.begin(), wall.end());
    return {cpu[cpu.size() / 2], wall[wall.size() / 2]};
}

void Report(const char* what, std::pair<double, double> round, double baseline, double interval)
{
    std::printf("%-10s cpu %8.2f ms/round  wall %8.2f ms/round  %.2fx baseline  %.3f%% of a core "
                "every %.0f s\n",
                what, round.first * 1e3, round.second * 1e3, round.first / baseline,
                100.0 * round.first / interval, interval);
}

size_t SessionRound(int proc, const std::vector<KXTreeRoot>& roots, std::vector<KXTreeUsage>& usage)
{
    KXProcTable table = {nullptr, nullptr, 0, nullptr};
    if (KXProcTableRead(proc, &table) != ERROR_NONE ||
        KXProcTableAssign(&table, roots.data(), roots.size(), nullptr, 0) != ERROR_NONE)
        std::exit(3);
    KXProcTableUsage(&table, usage.data(), roots.size());
    size_t processes = 0;
    for (const KXTreeUsage& one : usage)
        processes += one.processes;
    KXProcTableFree(&table);
    return processes;
}

size_t CgroupRound(int proc, const std::vector<Server>& servers)
{
    size_t processes = 0;
    for (const Server& server : servers) {
        KXTreeUsage usage;
        uint64_t usec = 0;
        if (KXCgroupUsage(proc, server.cgroup, &usage, &usec) != ERROR_NONE)
            std::exit(3);
        processes += usage.processes;
    }
    return processes;
}

}  // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
    const double interval = argc > 3 ? std::atof(argv[3]) : 10;
    int proc = -1;
    if (count <= 0 || rounds <= 0 || interval <= 0 || KXProcOpen("/proc", &proc) != ERROR_NONE ||
        KXBecomeSubreaper() != ERROR_NONE)
        return 2;

    KXCgroupPlace place;
    KXCgroupVerdict verdict = KXCGROUP_NO_MOUNT;
    if (KXCgroupLocate(nullptr, &place) == ERROR_NONE)
        KXCgroupDecide(&place, &verdict);
    const std::string parentName = "tarvel-bench-" + std::to_string(getpid());
    int parent = -1;
    if (verdict == KXCGROUP_USABLE && KXCgroupOpenPlace(&place, parentName.c_str(), 1, &parent) != ERROR_NONE)
        parent = -1;
    if (parent < 0)
        std::printf("cgroup mode skipped: %s\n", KXCgroupVerdictText(verdict));

    std::vector<Server> servers;
    std::vector<KXTreeRoot> roots;
    for (int i = 0; i < count; i++) {
        int cgroup = -1;
        char name[64];
        std::snprintf(name, sizeof name, "srv-127.0.0.1-%d", 10000 + i);
        if (parent >= 0 && KXCgroupCreate(parent, name, &cgroup, nullptr) != ERROR_NONE)
            return 2;
        servers.push_back(StartServer(proc, cgroup));
        roots.push_back({servers.back().leader, servers.back().start});
    }
    std::vector<KXTreeUsage> usage(roots.size());
    // Every child has forked once the count is complete.
    while (SessionRound(proc, roots, usage) < size_t(3 * count))
        usleep(10000);
    std::printf("%d servers of 3 processes; %d rounds\n", count, rounds);

    const auto baseline = Measure(rounds, [&] {
        for (int i = 0; i < 3 * count; i++) {
            KXProcStat stat;
            KXProcReadStat(proc, getpid(), &stat);
        }
    });
    std::printf("%-10s cpu %8.2f ms/round  wall %8.2f ms/round\n", "baseline", baseline.first * 1e3,
                baseline.second * 1e3);
    Report("session", Measure(rounds, [&] { SessionRound(proc, roots, usage); }), baseline.first,
           interval);
    if (parent >= 0)
        Report("cgroup", Measure(rounds, [&] { CgroupRound(proc, servers); }), baseline.first,
               interval);

    for (int i = 0; i < count; i++) {
        if (servers[i].cgroup >= 0) {
            KXCgroupKill(servers[i].cgroup);
            close(servers[i].cgroup);
        } else {
            kill(servers[i].leader, SIGKILL);
        }
    }
    // The session's other members: proven by the last round's assignment.
    KXProcTable table = {nullptr, nullptr, 0, nullptr};
    if (KXProcTableRead(proc, &table) == ERROR_NONE &&
        KXProcTableAssign(&table, roots.data(), roots.size(), nullptr, 0) == ERROR_NONE) {
        for (size_t r = 0; r < roots.size(); r++) {
            KXProcIdentity members[8];
            size_t n = 0;
            KXProcTableMembers(&table, r, members, 8, &n);
            KXSignalProven(proc, members, std::min<size_t>(n, 8), SIGKILL, nullptr);
        }
    }
    KXProcTableFree(&table);
    while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
    }
    if (parent >= 0) {
        for (int i = 0; i < count; i++) {
            char name[64];
            std::snprintf(name, sizeof name, "srv-127.0.0.1-%d", 10000 + i);
            KXCgroupRemove(parent, name);
        }
        close(parent);
        int own = -1;
        if (KXCgroupOpenPlace(&place, nullptr, 0, &own) == ERROR_NONE) {
            KXCgroupRemove(own, parentName.c_str());
            close(own);
        }
    }
    return 0;
}

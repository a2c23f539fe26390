// The ways to start a server from a process the daemon's size, each timed as
// start + exec + end + reap of a program that ends at once (libc_loop exit):
//
//   spawn_ways_bench [starts] [rounds]     (defaults 300 5)
//
// - fork, then in the child the death signal, 62 signals reset, execv: the
//   daemon's old way; the kernel copies every mapping and its page tables;
// - the clone that shares memory until the exec (KXSpawn), as the daemon
//   starts servers now; and the same with a cgroup, placed by clone3's
//   CLONE_INTO_CGROUP, when a cgroup v2 directory may be made here;
// - a small spawner, started once from the libc-only program, which clones
//   the server as the daemon's own child (CLONE_PARENT): a pipe round trip;
// - what moving a process into a cgroup by cgroup.procs costs (the way
//   without clone3), and what the child's signal reset costs: all 62 against
//   the few the daemon changes.
// The benchmark links the daemon's libraries and holds 4 MiB of touched heap,
// about what the daemon has mapped with 50 servers. The rounds alternate the
// ways; figures are medians over the rounds, in us per start.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "baselib/kx_spawn.h"
#include "bench_baseline.h"

namespace {

char* gExitArgs[] = {const_cast<char*>(LIBC_LOOP_PATH), const_cast<char*>("exit"), nullptr};

void ResetAllSignals()
{
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP)
            signal(sig, SIG_DFL);
}

pid_t ForkWay()
{
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent)
            _exit(1);
        ResetAllSignals();
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(gExitArgs[0], gExitArgs);
        _exit(127);
    }
    return pid;
}

pid_t SpawnWay(int cgroupFd)
{
    KXSpawnRequest request{};
    request.argv = gExitArgs;
    request.command = "exit";
    request.newSession = 1;
    request.deathSignal = SIGTERM;
    request.cgroupFd = cgroupFd;
    return KXSpawn(&request);
}

// The spawner, and its request and reply pipes (this side's ends).
pid_t gSpawner = -1;
int gToSpawner = -1, gFromSpawner = -1;

void StartSpawner()
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        std::exit(2);
    gSpawner = fork();
    if (gSpawner == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        execl(LIBC_LOOP_PATH, LIBC_LOOP_PATH, "spawner", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    gToSpawner = in[1];
    gFromSpawner = out[0];
}

pid_t SpawnerWay()
{
    pid_t pid = 0;
    if (write(gToSpawner, &pid, sizeof pid) != sizeof pid ||
        read(gFromSpawner, &pid, sizeof pid) != sizeof pid)
        return -1;
    return pid;
}

// CPU seconds of this process, its reaped children and the spawner.
double CpuUs(pid_t spawner)
{
    struct rusage self, children;
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    double us = 0;
    for (const struct rusage* u : {&self, &children})
        us += double(u->ru_utime.tv_sec + u->ru_stime.tv_sec) * 1e6 +
              double(u->ru_utime.tv_usec + u->ru_stime.tv_usec);
    std::ifstream sched("/proc/" + std::to_string(spawner) + "/schedstat");
    double ns = 0;
    if (sched >> ns)
        us += ns / 1000;
    return us;
}

// us per start of `starts` starts, each reaped before the next: wall time,
// and CPU time of everything involved in *cpu.
double Time(const char* name, const std::function<pid_t()>& start, int starts, double* cpu)
{
    const double cpu0 = CpuUs(gSpawner);
    const int64_t t0 = bench::nowNs();
    for (int i = 0; i < starts; ++i) {
        const pid_t pid = start();
        if (pid <= 0 || waitpid(pid, nullptr, 0) != pid) {
            std::perror(name);
            std::exit(2);
        }
    }
    *cpu = (CpuUs(gSpawner) - cpu0) / starts;
    return double(bench::nowNs() - t0) / 1000.0 / starts;
}

// us per move of a small child between two cgroups by cgroup.procs.
double TimeCgroupMoves(const std::string& a, const std::string& b, int moves)
{
    const int64_t t0 = bench::nowNs();
    const pid_t pid = fork();
    if (pid == 0) {
        for (int i = 0; i < moves; ++i) {
            const int fd = open(((i % 2 ? a : b) + "/cgroup.procs").c_str(), O_WRONLY);
            if (fd < 0 || write(fd, "0", 1) != 1)
                _exit(1);
            close(fd);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (status != 0)
        return -1;
    return double(bench::nowNs() - t0) / 1000.0 / moves;
}

// us for one reset of 62 signals, and of the 4 the daemon changes.
void TimeSignalResets(double* all, double* changed)
{
    const int kTimes = 2000;
    int64_t t0 = bench::nowNs();
    for (int i = 0; i < kTimes; ++i)
        ResetAllSignals();
    *all = double(bench::nowNs() - t0) / 1000.0 / kTimes;
    t0 = bench::nowNs();
    for (int i = 0; i < kTimes; ++i)
        for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE})
            signal(sig, SIG_DFL);
    *changed = double(bench::nowNs() - t0) / 1000.0 / kTimes;
}

// A cgroup v2 directory of this process's, made for the benchmark; "" when
// none can be made.
std::string MakeCgroup(const std::string& name)
{
    for (const std::string mount : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
        struct stat info;
        if (stat((mount + "/cgroup.procs").c_str(), &info) != 0)
            continue;
        std::ifstream self("/proc/self/cgroup");
        for (std::string line; std::getline(self, line);) {
            const std::string dir = mount + line.substr(3) + "/" + name;
            if (line.rfind("0::", 0) == 0 && mkdir(dir.c_str(), 0755) == 0)
                return dir;
        }
    }
    return "";
}

}  // namespace

int main(int argc, char** argv)
{
    const int starts = argc > 1 ? std::atoi(argv[1]) : 300;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    // The daemon's 130 mappings and its heap: 100 more regions that cannot
    // merge (every other one read-only), and 4 MiB touched.
    for (int i = 0; i < 100; ++i) {
        void* region = mmap(nullptr, 65536, PROT_READ | (i % 2 ? 0 : PROT_WRITE),
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (region == MAP_FAILED)
            std::exit(2);
    }
    std::vector<char> heap(4 << 20);
    for (size_t i = 0; i < heap.size(); i += 4096)
        heap[i] = char(i);
    StartSpawner();
    const std::string cgroup = MakeCgroup("spawn-ways-" + std::to_string(getpid()));
    const std::string other = cgroup.empty() ? "" : MakeCgroup("spawn-ways-b-" + std::to_string(getpid()));
    const int cgroupFd = cgroup.empty() ? -1 : open(cgroup.c_str(), O_RDONLY | O_DIRECTORY);

    struct Way {
        const char* name;
        std::function<pid_t()> start;
        std::vector<double> us, cpu;
    };
    std::vector<Way> ways{
        {"fork + exec (the old way)", ForkWay, {}, {}},
        {"clone3(VM|VFORK|CLEAR_SIGHAND) + exec", [] { return SpawnWay(-1); }, {}, {}},
        {"small spawner, pipe round trip", SpawnerWay, {}, {}},
    };
    if (cgroupFd >= 0)
        ways.push_back({"  the same + CLONE_INTO_CGROUP", [&] { return SpawnWay(cgroupFd); }, {}, {}});
    for (int r = 0; r < rounds; ++r)
        for (Way& way : ways)
        {
            double cpu = 0;
            way.us.push_back(Time(way.name, way.start, starts, &cpu));
            way.cpu.push_back(cpu);
        }
    std::printf("%d mappings, %d starts x %d rounds, load %s; us per start+exec+reap,\n"
                "wall median (min, max) and CPU of all processes involved, median:\n",
                bench::mappingCount(getpid()), starts, rounds, bench::loadAverage().c_str());
    for (Way& way : ways)
        std::printf("  %-38s wall %8.1f (%.1f, %.1f)  cpu %7.1f\n", way.name,
                    bench::median(way.us, -1), *std::min_element(way.us.begin(), way.us.end()),
                    *std::max_element(way.us.begin(), way.us.end()), bench::median(way.cpu, -1));
    if (!other.empty())
        std::printf("  move by cgroup.procs (the way without clone3): %.1f us per move\n",
                    TimeCgroupMoves(cgroup, other, 2000));
    double all = 0, changed = 0;
    TimeSignalResets(&all, &changed);
    std::printf("  signal reset in a child: all 62 %.2f us, the 4 the daemon changes %.2f us\n", all,
                changed);
    close(gToSpawner);
    close(gFromSpawner);
    while (wait(nullptr) > 0) {
    }
    if (cgroupFd >= 0)
        close(cgroupFd);
    for (const std::string& dir : {cgroup, other})
        if (!dir.empty())
            rmdir(dir.c_str());
    return 0;
}

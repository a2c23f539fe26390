// A killed server's restart while the notification socket is flooded, by
// the real daemon (tarvelsvc -console, READINESS=tcp+notify so that the
// socket is open while the libc-only servers listen):
//
//   notify_flood_bench [servers] [kills] [datagrams]     (defaults 20 10 100000)
//
// `kills` times a server is killed with nothing else going on, and `kills`
// times at the moment a flooder starts sending `datagrams` datagrams to the
// socket as fast as the socket takes them (from outside every server's tree,
// so each one is read, refused and counted). The figure is the median time
// from SIGKILL to the replacement's own first act, each way, and the delay
// the flood adds (goal: at most 50 ms).
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_baseline.h"

namespace {

// A child that sends `count` "FLOOD=1" datagrams to path, waiting for room
// when the socket is full; returns its pid.
pid_t StartFlood(const std::string& path, int count)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    for (int sent = 0; fd >= 0 && sent < count;) {
        if (sendto(fd, "FLOOD=1", 7, 0, reinterpret_cast<const sockaddr*>(&address),
                   sizeof address) == 7)
            ++sent;
        else if (errno != EAGAIN && errno != ENOBUFS && errno != EINTR)
            _exit(2);
    }
    _exit(0);
}

// ms from SIGKILL of a server to its replacement's first act; -1 when none
// came within 10 s.
double KillOne(bench::Starts& starts, int port)
{
    const int64_t t0 = bench::nowNs();
    kill(starts.pids().at(port), SIGKILL);
    const int64_t at = starts.waitPort(port, t0, 10);
    return at < 0 ? -1 : bench::ms(at - t0);
}

}  // namespace

int main(int argc, char** argv)
{
    const unsigned servers = argc > 1 ? unsigned(std::atoi(argv[1])) : 20;
    const int kills = argc > 2 ? std::atoi(argv[2]) : 10;
    const int datagrams = argc > 3 ? std::atoi(argv[3]) : 100000;
    setenv("BENCH_SETTINGS", "[SERVICE]\nREADINESS=tcp+notify\n", 1);
    bench::Installation inst = bench::installBaseline("tarvel-flood-", 26000, servers);
    bench::Starts starts(inst);
    const pid_t daemon = bench::startConsole(inst);
    if (!starts.waitCount(servers, 60)) {
        std::fprintf(stderr, "not all %u servers started\n", servers);
        bench::endSupervisor(daemon, true, starts);
        return 1;
    }
    std::vector<int> ports;
    for (const auto& p : starts.pids())
        ports.push_back(p.first);
    std::vector<double> quiet, flooded;
    for (int i = 0; i < 2 * kills; ++i) {
        usleep(50000);
        const int port = ports[size_t(i) % ports.size()];
        const bool flood = i % 2 == 1;
        const pid_t flooder = flood ? StartFlood(inst.dir + "/run/notify", datagrams) : -1;
        const double latency = KillOne(starts, port);
        if (flooder > 0)
            waitpid(flooder, nullptr, 0);
        if (latency >= 0)
            (flood ? flooded : quiet).push_back(latency);
    }
    const double q = bench::median(quiet, -1), f = bench::median(flooded, -1);
    std::printf("restart of a killed server, %u servers, load %s:\n", servers,
                bench::loadAverage().c_str());
    std::printf("  quiet: median %.3f ms (%zu kills)\n", q, quiet.size());
    std::printf("  during a flood of %d datagrams: median %.3f ms (%zu kills)\n", datagrams, f,
                flooded.size());
    std::printf("  delay the flood adds: %.3f ms (goal <= 50 ms)\n", f - q);
    bench::endSupervisor(daemon, true, starts);
    return 0;
}

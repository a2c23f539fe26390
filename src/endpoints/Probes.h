// The service's end that connects out, where its other ends listen: the
// probes that tell whether the servers take connections. The readiness probe
// of a started server (a TCP connect, tried at once and every 2 ms for its
// first 100 ms, then after 10 ms and every 20 ms, or up to every 250 ms when
// many servers start at once) and the optional liveness probe of a serving
// one (a TCP connect, or an HTTP GET whose status is below 500), every
// interval. Every probe is a non-blocking socket in the service's one wait:
// no thread, and a probe that hangs costs only its own time-out.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Where a server is probed: its address, or the loopback address of the
// family for a wildcard or empty host.
struct ProbeTarget {
    sockaddr_storage address{};
    socklen_t length = 0;  // 0: the host could not be resolved; nothing to probe
    std::string host;      // for the Host header of an HTTP probe

    // Resolves `host` (numeric first; a name through the resolver, which may
    // block: call it when the table is built). A target of length 0 when it
    // does not resolve.
    static ProbeTarget For(const std::string& host, unsigned short port);
};

class Probes {
public:
    using Clock = std::chrono::steady_clock;

    enum class Kind { Ready, Alive };
    struct Result {
        uint64_t id;
        Kind kind;
        bool ok;
        std::string reason;  // why it failed
    };
    struct Liveness {
        std::string httpPath;  // empty: a TCP connect; else GET of this path
        Clock::duration interval;
        Clock::duration timeout;
    };

    Probes() = default;
    // Closes every probe's socket.
    ~Probes();
    Probes(const Probes&) = delete;
    Probes& operator=(const Probes&) = delete;

    // Probes `target` until it accepts a connection (one Ready result) or the
    // probe is cancelled.
    void awaitReady(uint64_t id, const ProbeTarget& target, Clock::time_point now);
    // Probes `target` every interval (the first one interval from now) and
    // reports every result, until cancelled.
    void watch(uint64_t id, const ProbeTarget& target, const Liveness& liveness,
               Clock::time_point now);
    void cancel(uint64_t id);
    // The kind of probe running for `id`; false when none.
    bool active(uint64_t id, Kind& kind) const;

    // Appends the sockets to watch and lowers `deadline` to the next attempt.
    void prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline);
    // Moves the probes on after the wake, with the slice prepare appended.
    std::vector<Result> dispatch(const struct pollfd* fds, size_t count, Clock::time_point now);

private:
    enum class Phase { Waiting, Connecting, Sending, Reading };
    struct Probe {
        Kind kind;
        ProbeTarget target;
        Liveness liveness;
        Phase phase = Phase::Waiting;
        int fd = -1;
        Clock::time_point next;      // Waiting: when to try; otherwise the attempt's time-out
        Clock::time_point began;     // readiness: when the probe began
        unsigned fastAttempts = 0;   // readiness: attempts of the first 100 ms
        Clock::duration backoff{};   // readiness: the wait before the next attempt after those
        std::string out;             // HTTP request still to send
        std::string in;              // HTTP status line read so far
    };

    void connect(Probe& probe, Clock::time_point now, std::vector<Result>& results, uint64_t id);
    void advance(uint64_t id, Probe& probe, short revents, Clock::time_point now,
                 std::vector<Result>& results);
    // Ends the attempt: closes the socket, reports, and schedules the next one.
    void finish(uint64_t id, Probe& probe, bool ok, const std::string& reason,
                Clock::time_point now, std::vector<Result>& results);
    // The wait after a refused readiness attempt; moves the schedule on.
    Clock::duration readyPause(Probe& probe, Clock::time_point now);

    std::map<uint64_t, Probe> mProbes;
    std::vector<uint64_t> mPolled;  // the probes of the last prepare, in order
    size_t mOpen = 0;               // sockets open now
    size_t mReadyCount = 0;         // readiness probes now
};

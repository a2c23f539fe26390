#include "endpoints/Probes.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "foundation/HostAddr.h"

namespace {

using Clock = Probes::Clock;
using std::chrono::milliseconds;

// Most servers listen within their first 100 ms, and an operator waits for
// each: the probe tries at once and then every 2 ms, at most 50 times. A
// refused connect on the loopback costs some microseconds; when several
// start at once the pause grows with their number, so that a host's burst
// stays at about 2000 connects a second.
const milliseconds kFastPhase(100);
const milliseconds kFastPause(2);
const unsigned kFastAttempts = 50;
const size_t kFastStarts = 4;
const milliseconds kFirstBackoff(10);   // after that, a server that listens soon is seen soon...
// ...and one that takes longer is still seen within some 10 ms on average,
// as long as few servers start at once; the more start together, the longer
// the pause, so that the probes of a whole landscape's host stay at about
// 1600 connects a second, up to a pause of 250 ms.
const milliseconds kQuickBackoff(20);
const size_t kQuickStarts = 32;
const milliseconds kMaxBackoff(250);
const milliseconds kAttemptLimit(1000); // for one readiness connect
const size_t kMaxOpen = 256;            // probe sockets at once, well below the descriptor limit
const size_t kMaxStatusLine = 512;

// A wildcard address is probed at the loopback address of its family.
void ReplaceWildcard(ProbeTarget& target)
{
    if (target.address.ss_family == AF_INET) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(target.address);
        if (v4.sin_addr.s_addr == htonl(INADDR_ANY))
            v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(target.address);
        if (IN6_IS_ADDR_UNSPECIFIED(&v6.sin6_addr))
            v6.sin6_addr = in6addr_loopback;
    }
}

// The status code of an HTTP status line ("HTTP/1.1 200 OK"); -1 when it is none.
int StatusOf(const std::string& line)
{
    if (line.compare(0, 5, "HTTP/") != 0)
        return -1;
    size_t blank = line.find(' ');
    if (blank == std::string::npos || blank + 4 > line.size())
        return -1;
    int code = 0;
    for (size_t i = blank + 1; i < blank + 4; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return -1;
        code = code * 10 + (line[i] - '0');
    }
    return code;
}

std::string HttpRequest(const Probes::Liveness& liveness, const std::string& host)
{
    std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return "GET " + liveness.httpPath + " HTTP/1.0\r\nHost: " + name +
           "\r\nUser-Agent: tarvelsvc liveness probe\r\nConnection: close\r\n\r\n";
}

}  // namespace

ProbeTarget ProbeTarget::For(const std::string& host, unsigned short port)
{
    ProbeTarget target;
    target.host = host.empty() ? "127.0.0.1" : host;
    try {
        // Resolved as every host of the service is, literals without a lookup.
        CResolveHostName resolved(target.host.c_str(), port, IPPROTO_TCP);
        const addrinfo* chosen = resolved.addrInfo();
        if (chosen == nullptr || chosen->ai_addrlen > sizeof target.address ||
            (chosen->ai_family != AF_INET && chosen->ai_family != AF_INET6))
            return target;
        memcpy(&target.address, chosen->ai_addr, chosen->ai_addrlen);
        target.length = chosen->ai_addrlen;
    } catch (std::exception&) {
        return target;  // length 0: nothing to probe
    }
    ReplaceWildcard(target);
    return target;
}

Probes::~Probes()
{
    for (auto& entry : mProbes)
        if (entry.second.fd >= 0)
            close(entry.second.fd);
}

void Probes::awaitReady(uint64_t id, const ProbeTarget& target, Clock::time_point now)
{
    cancel(id);
    Probe& probe = mProbes[id];
    ++mReadyCount;
    probe.kind = Kind::Ready;
    probe.target = target;
    probe.next = now;
    probe.began = now;
    probe.backoff = kFirstBackoff;
}

void Probes::watch(uint64_t id, const ProbeTarget& target, const Liveness& liveness,
                   Clock::time_point now)
{
    cancel(id);
    Probe& probe = mProbes[id];
    probe.kind = Kind::Alive;
    probe.target = target;
    probe.liveness = liveness;
    probe.next = now + liveness.interval;
}

void Probes::cancel(uint64_t id)
{
    auto it = mProbes.find(id);
    if (it == mProbes.end())
        return;
    if (it->second.fd >= 0) {
        close(it->second.fd);
        --mOpen;
    }
    if (it->second.kind == Kind::Ready)
        --mReadyCount;
    mProbes.erase(it);
}

bool Probes::active(uint64_t id, Kind& kind) const
{
    auto it = mProbes.find(id);
    if (it == mProbes.end())
        return false;
    kind = it->second.kind;
    return true;
}

void Probes::prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline)
{
    mPolled.clear();
    for (auto& entry : mProbes) {
        Probe& probe = entry.second;
        deadline = std::min(deadline, probe.next);
        if (probe.fd < 0)
            continue;
        short events = probe.phase == Phase::Reading ? POLLIN : POLLOUT;
        fds.push_back({probe.fd, events, 0});
        mPolled.push_back(entry.first);
    }
}

void Probes::connect(Probe& probe, Clock::time_point now, std::vector<Result>& results,
                     uint64_t id)
{
    Clock::duration limit = probe.kind == Kind::Ready ? Clock::duration(kAttemptLimit)
                                                      : probe.liveness.timeout;
    probe.next = now + limit;
    probe.in.clear();
    probe.out = probe.kind == Kind::Alive && !probe.liveness.httpPath.empty()
                    ? HttpRequest(probe.liveness, probe.target.host)
                    : std::string();
    int fd = socket(probe.target.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        finish(id, probe, false, std::string("socket: ") + strerror(errno), now, results);
        return;
    }
    probe.fd = fd;
    ++mOpen;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&probe.target.address),
                  probe.target.length) == 0) {
        advance(id, probe, POLLOUT, now, results);
        return;
    }
    if (errno != EINPROGRESS) {
        finish(id, probe, false, std::string("connect: ") + strerror(errno), now, results);
        return;
    }
    probe.phase = Phase::Connecting;
}

void Probes::advance(uint64_t id, Probe& probe, short revents, Clock::time_point now,
                     std::vector<Result>& results)
{
    if (probe.phase == Phase::Connecting || probe.phase == Phase::Waiting) {
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(probe.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error != 0) {
            finish(id, probe, false, std::string("connect: ") + strerror(error), now, results);
            return;
        }
        if (probe.out.empty()) {
            finish(id, probe, true, "", now, results);
            return;
        }
        probe.phase = Phase::Sending;
    }
    if (probe.phase == Phase::Sending && (revents & (POLLOUT | POLLERR | POLLHUP))) {
        ssize_t n = send(probe.fd, probe.out.data(), probe.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            finish(id, probe, false, std::string("send: ") + strerror(errno), now, results);
            return;
        }
        probe.out.erase(0, n > 0 ? static_cast<size_t>(n) : 0);
        if (probe.out.empty())
            probe.phase = Phase::Reading;
        return;
    }
    if (probe.phase != Phase::Reading || !(revents & (POLLIN | POLLERR | POLLHUP)))
        return;
    char buffer[kMaxStatusLine];
    ssize_t n = recv(probe.fd, buffer, kMaxStatusLine - probe.in.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n > 0)
        probe.in.append(buffer, static_cast<size_t>(n));
    size_t end = probe.in.find('\n');
    if (end != std::string::npos) {
        int status = StatusOf(probe.in.substr(0, end));
        if (status < 0)
            finish(id, probe, false, "no HTTP status line in the answer", now, results);
        else
            finish(id, probe, status < 500, "HTTP status " + std::to_string(status), now, results);
    } else if (n <= 0 || probe.in.size() >= kMaxStatusLine) {
        finish(id, probe, false, n <= 0 ? "connection closed without an answer"
                                        : "no HTTP status line in the answer", now, results);
    }
}

void Probes::finish(uint64_t id, Probe& probe, bool ok, const std::string& reason,
                    Clock::time_point now, std::vector<Result>& results)
{
    if (probe.fd >= 0) {
        close(probe.fd);
        probe.fd = -1;
        --mOpen;
    }
    probe.phase = Phase::Waiting;
    if (probe.kind == Kind::Ready) {
        // Refused attempts are the normal course of a start: only success is told.
        if (ok)
            results.push_back({id, Kind::Ready, true, ""});
        probe.next = now + readyPause(probe, now);
        return;
    }
    results.push_back({id, Kind::Alive, ok, reason});
    probe.next = now + probe.liveness.interval;
}

Clock::duration Probes::readyPause(Probe& probe, Clock::time_point now)
{
    if (now - probe.began < kFastPhase && probe.fastAttempts < kFastAttempts) {
        ++probe.fastAttempts;
        const Clock::duration crowd = Clock::duration(kFastPause) * mReadyCount / kFastStarts;
        return std::max<Clock::duration>(kFastPause, crowd);
    }
    Clock::duration pause = probe.backoff;
    Clock::duration cap = kQuickBackoff * std::max<size_t>(1, mReadyCount / kQuickStarts);
    probe.backoff = std::min<Clock::duration>({probe.backoff * 2, cap, Clock::duration(kMaxBackoff)});
    return pause;
}

std::vector<Probes::Result> Probes::dispatch(const struct pollfd* fds, size_t count,
                                             Clock::time_point now)
{
    std::vector<Result> results;
    for (size_t i = 0; i < mPolled.size() && i < count; ++i) {
        auto it = mProbes.find(mPolled[i]);
        if (it != mProbes.end() && it->second.fd == fds[i].fd && fds[i].revents != 0)
            advance(it->first, it->second, fds[i].revents, now, results);
    }
    mPolled.clear();
    for (auto& entry : mProbes) {
        Probe& probe = entry.second;
        if (probe.next > now)
            continue;
        if (probe.fd >= 0)
            finish(entry.first, probe, false, "no answer in time", now, results);
        else if (mOpen < kMaxOpen)
            connect(probe, now, results, entry.first);
        else
            probe.next = now + kFirstBackoff;  // its turn comes when a socket is free
    }
    for (const Result& result : results)
        if (result.kind == Kind::Ready && mProbes.erase(result.id) != 0)
            --mReadyCount;
    return results;
}

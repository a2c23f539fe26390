// The one way of the tests and the benchmarks to listen and to connect: over
// TCP on a host of this machine (127.0.0.1 unless told) or over a Unix socket
// path. Header-only: the benchmarks link nothing of the tests.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace sockets {

// Where a socket listens or connects: a Unix path when `path` is set, else
// host:port over TCP (IPv4; a port of 0 lets the system pick one).
struct Endpoint {
    std::string host = "127.0.0.1";
    unsigned short port = 0;
    std::string path;

    static Endpoint Loopback(unsigned short port) { return {"127.0.0.1", port, ""}; }
    static Endpoint Unix(const std::string& path) { return {"", 0, path}; }
};

// A socket of `type` (SOCK_STREAM or SOCK_DGRAM, flags such as SOCK_NONBLOCK
// added; always close-on-exec) bound to `at`, the caller's to close; -1 on
// failure with errno kept. A TCP port of 0 is replaced by the one bound. A
// stream socket bound and never listening refuses every connect to its port,
// and holds the port so that nothing else takes it.
inline int Bind(Endpoint& at, int type = SOCK_STREAM);

// A stream socket listening on `at` with `backlog`, as Bind; -1 on failure.
inline int Listen(Endpoint& at, int backlog = 16);

// A socket of `type` connected to `to`, the caller's to close; -1 on failure
// with errno kept. With SOCK_NONBLOCK a TCP connect still in progress counts
// as made; a Unix one whose listener's queue is full fails (EAGAIN).
inline int Connect(const Endpoint& to, int type = SOCK_STREAM);

namespace detail {

// The address of `at` in `storage`; its length, or 0 when it has none.
inline socklen_t AddressOf(const Endpoint& at, sockaddr_storage& storage)
{
    storage = {};
    if (!at.path.empty()) {
        auto* address = reinterpret_cast<sockaddr_un*>(&storage);
        if (at.path.size() >= sizeof address->sun_path)
            return 0;
        address->sun_family = AF_UNIX;
        memcpy(address->sun_path, at.path.c_str(), at.path.size() + 1);
        return sizeof(sockaddr_un);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(at.host.c_str(), std::to_string(at.port).c_str(), &hints, &list) != 0 ||
        list == nullptr)
        return 0;
    socklen_t length = list->ai_addrlen;
    memcpy(&storage, list->ai_addr, length);
    freeaddrinfo(list);
    return length;
}

// A new socket of `type` for `at`'s family and its address; -1 when either fails.
inline int SocketFor(const Endpoint& at, int type, sockaddr_storage& address, socklen_t& length)
{
    length = AddressOf(at, address);
    if (length == 0) {
        errno = EINVAL;
        return -1;
    }
    return socket(address.ss_family, type | SOCK_CLOEXEC, 0);
}

inline int Failed(int fd)
{
    int saved = errno;
    if (fd >= 0)
        close(fd);
    errno = saved;
    return -1;
}

}  // namespace detail

inline int Bind(Endpoint& at, int type)
{
    sockaddr_storage address;
    socklen_t length;
    int fd = detail::SocketFor(at, type, address, length);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0)
        return detail::Failed(fd);
    if (at.path.empty()) {
        sockaddr_in bound{};
        socklen_t size = sizeof bound;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) != 0)
            return detail::Failed(fd);
        at.port = ntohs(bound.sin_port);
    }
    return fd;
}

inline int Listen(Endpoint& at, int backlog)
{
    int fd = Bind(at);
    if (fd >= 0 && listen(fd, backlog) != 0)
        return detail::Failed(fd);
    return fd;
}

inline int Connect(const Endpoint& to, int type)
{
    sockaddr_storage address;
    socklen_t length;
    int fd = detail::SocketFor(to, type, address, length);
    if (fd < 0)
        return -1;
    // A non-blocking TCP connect goes on after the call; its socket is the
    // caller's to wait on.
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 &&
        !((type & SOCK_NONBLOCK) != 0 && errno == EINPROGRESS))
        return detail::Failed(fd);
    return fd;
}

}  // namespace sockets

// The tests' one way to listen and one way to connect: over TCP on a host of
// this machine (127.0.0.1 unless told) or over a Unix socket path.
#pragma once

#include <sys/socket.h>

#include <string>

namespace testutil {

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
int Bind(Endpoint& at, int type = SOCK_STREAM);

// A stream socket listening on `at` with `backlog`, as Bind; -1 on failure.
int Listen(Endpoint& at, int backlog = 16);

// A socket of `type` connected to `to`, the caller's to close; -1 on failure
// (a refused or, non-blocking, unfinished connect) with errno kept.
int Connect(const Endpoint& to, int type = SOCK_STREAM);

}  // namespace testutil

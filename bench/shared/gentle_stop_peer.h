// Stand-ins for application servers in the gentle-stop tests and benchmark:
// a forked child that listens on a port of its own, takes one connection,
// keeps what it received in a file, and then ends or keeps running as told.
// Header-only (no test framework), so that the benchmark can use it too.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "sockets.h"

namespace gentlestop {

enum class Behaviour {
    EndAtOnce,      // ends as soon as the request is in
    EndAfter2s,     // ends 2 seconds after the request
    IgnoreRequest,  // reads the request and keeps running until signalled
};

struct Peer {
    pid_t pid = -1;
    unsigned short port = 0;
};

// A listening socket on host (a numeric address or a name) and a port the
// system picks; returns the descriptor and sets port.
inline int ListenOn(const std::string& host, unsigned short& port)
{
    sockets::Endpoint at{host, 0, ""};
    int fd = sockets::Listen(at);
    if (fd < 0)
        throw std::runtime_error("cannot listen on " + host);
    port = at.port;
    return fd;
}

// Forks the stand-in. What it receives goes to receivedFile (empty: kept
// nowhere). The child uses async-signal-safe calls only.
inline Peer StartPeer(const std::string& host, Behaviour behaviour,
                      const std::string& receivedFile = "")
{
    Peer peer;
    int listener = ListenOn(host, peer.port);
    const char* path = receivedFile.empty() ? nullptr : receivedFile.c_str();
    peer.pid = fork();
    if (peer.pid < 0) {
        close(listener);
        throw std::runtime_error("fork failed");
    }
    if (peer.pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int connection = accept(listener, nullptr, nullptr);
        char data[1024];
        size_t received = 0;
        // The service closes after the request: read up to the end.
        while (connection >= 0 && received < sizeof data) {
            ssize_t n = read(connection, data + received, sizeof data - received);
            if (n <= 0)
                break;
            received += static_cast<size_t>(n);
        }
        if (path != nullptr) {
            int out = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out >= 0) {
                if (write(out, data, received) < 0)
                    _exit(3);
                close(out);
            }
        }
        if (behaviour == Behaviour::EndAfter2s) {
            timespec two{2, 0};
            while (nanosleep(&two, &two) != 0) {
            }
        }
        if (behaviour == Behaviour::IgnoreRequest)
            for (;;)
                pause();
        _exit(0);
    }
    close(listener);
    return peer;
}

// A child that does nothing until signalled.
inline pid_t StartIdleChild()
{
    pid_t pid = fork();
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (;;)
            pause();
    }
    return pid;
}

// Reaps our child within timeoutMs; returns its raw wait status, or -1.
inline int Reap(pid_t pid, int timeoutMs = 5000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

// The last resort of a test that failed half-way.
inline void Kill(pid_t pid)
{
    if (pid > 0 && kill(pid, SIGKILL) == 0)
        Reap(pid);
}

}  // namespace gentlestop

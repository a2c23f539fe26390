// The holder of a listening socket: the kernel's socket diagnostics name the
// listener of an address and port, and /proc names who holds it, so that a
// foreign process on a server's port is told apart from the server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "baselib/kx_procstat.h"
#include "baselib/kx_sockdiag.h"
#include "common/test_util.h"

namespace {

// A listening socket on address:port of family, or -1.
int Listen(int family, const char* address, unsigned short port)
{
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        inet_pton(AF_INET, address, &in->sin_addr);
        length = sizeof *in;
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        inet_pton(AF_INET6, address, &in6->sin6_addr);
        length = sizeof *in6;
    }
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || listen(fd, 4) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

TEST(SockDiag, TheListenerIsFoundAndItsHolderNamed)
{
    int proc = -1;
    ASSERT_EQ(KXProcOpen("/proc", &proc), ERROR_NONE);
    const unsigned short port = testutil::FreePort();
    uint64_t inode = 0;
    EXPECT_EQ(KXListenerInode("127.0.0.1", port, &inode), ERROR_NOT_FOUND);

    const int listener = Listen(AF_INET, "127.0.0.1", port);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(KXListenerInode("127.0.0.1", port, &inode), ERROR_NONE);
    EXPECT_EQ(KXProcessHoldsSocket(proc, getpid(), inode), 1);
    // Another address of the loopback net does not reach it.
    uint64_t other = 0;
    EXPECT_EQ(KXListenerInode("127.0.0.2", port, &other), ERROR_NOT_FOUND);

    // A foreign process holds it: named with its command name.
    // The child says when its name is set: read before that, it is ours.
    int named[2];
    ASSERT_EQ(pipe(named), 0);
    pid_t holder = fork();
    if (holder == 0) {
        prctl(PR_SET_NAME, "foreignholder", 0, 0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        (void)!write(named[1], "n", 1);
        for (;;)
            pause();
    }
    close(named[1]);
    struct pollfd wait = {named[0], POLLIN, 0};
    ASSERT_EQ(poll(&wait, 1, 10000), 1);
    close(named[0]);
    close(listener);  // the child's copy (no exec: close-on-exec does not act) stays
    EXPECT_EQ(KXProcessHoldsSocket(proc, getpid(), inode), 0);
    pid_t found = 0;
    char comm[32];
    ASSERT_EQ(KXFindSocketHolder(proc, inode, &found, comm, sizeof comm), ERROR_NONE);
    EXPECT_EQ(found, holder);
    EXPECT_STREQ(comm, "foreignholder");
    testutil::KillAndReap(holder);
    EXPECT_EQ(KXFindSocketHolder(proc, inode, &found, comm, sizeof comm), ERROR_NOT_FOUND);
    close(proc);
}

TEST(SockDiag, AWildcardListenerReachesEveryAddress)
{
    const unsigned short port = testutil::FreePort();
    const int v4 = Listen(AF_INET, "0.0.0.0", port);
    ASSERT_GE(v4, 0);
    uint64_t inode = 0;
    ASSERT_EQ(KXListenerInode("127.0.0.1", port, &inode), ERROR_NONE);
    int proc = -1;
    ASSERT_EQ(KXProcOpen("/proc", &proc), ERROR_NONE);
    EXPECT_EQ(KXProcessHoldsSocket(proc, getpid(), inode), 1);
    close(v4);

    const int v6 = Listen(AF_INET6, "::1", port);
    if (v6 >= 0) {
        ASSERT_EQ(KXListenerInode("::1", port, &inode), ERROR_NONE);
        EXPECT_EQ(KXProcessHoldsSocket(proc, getpid(), inode), 1);
        close(v6);
    }
    // A dual-stack "::" listener takes IPv4 connections too.
    const int dual = Listen(AF_INET6, "::", port);
    if (dual >= 0) {
        ASSERT_EQ(KXListenerInode("127.0.0.1", port, &inode), ERROR_NONE);
        EXPECT_EQ(KXProcessHoldsSocket(proc, getpid(), inode), 1);
        close(dual);
    }
    EXPECT_EQ(KXListenerInode("not-an-address", port, &inode), ERROR_ADDRESS_FAMILY);
    close(proc);
}

}  // namespace

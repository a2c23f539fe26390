// Sockets against real peers on 127.0.0.1: transfers, lines, time-outs,
// closed peers, ageing of kept sockets and the select() descriptor limit.
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "baselib/kx_log.h"
#include "baselib/kx_socket.h"
#include "shared/sockets.h"
#include "common/test_util.h"

// Every send() of the program passes through here, so that the tests can see
// how the library cuts a transfer into system calls.
namespace {
std::atomic<bool> gRecordSends{false};
std::mutex gSendsMutex;
std::vector<size_t> gSendSizes;
}  // namespace

extern "C" ssize_t send(int fd, const void* buffer, size_t length, int flags)
{
    using SendFunction = ssize_t (*)(int, const void*, size_t, int);
    static SendFunction next = reinterpret_cast<SendFunction>(dlsym(RTLD_NEXT, "send"));
    if (gRecordSends) {
        std::lock_guard<std::mutex> lock(gSendsMutex);
        gSendSizes.push_back(length);
    }
    return next(fd, buffer, length, flags);
}

namespace {

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KXLogNew(&log), 0);
        ASSERT_EQ(KXLogSetOutputFile(log, logPath.c_str()), 0);
    }

    void TearDown() override
    {
        for (KXSocket** s : {&client, &peer, &listener})
            if (*s != nullptr)
                KXSocketFree(s, log);
        KXLogFree(&log);
    }

    // Accepted sockets inherit the listener's zero linger, which turns a close
    // into a reset; a peer that ends politely needs it switched off.
    void ClosePeerPolitely()
    {
        linger off{0, 0};
        setsockopt(peer->fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
        KXSocketFree(&peer, log);
    }

    int Lines(const std::string& text) { return testutil::CountLinesContaining(logPath, text); }
    std::string LogText() { return testutil::ReadFile(logPath); }

    // A listener on 127.0.0.1, a client connected to it and the accepted peer.
    void ConnectPair()
    {
        ASSERT_EQ(KXServerSocketNew(&listener, "127.0.0.1", 0, AF_INET, log), ERROR_NONE);
        ASSERT_NE(listener->port, 0);
        ASSERT_EQ(KXSocketNew(&client, AF_INET, log), ERROR_NONE);
        ASSERT_EQ(KXSocketConnect(client, "127.0.0.1", listener->port, 5, log), ERROR_NONE);
        ASSERT_EQ(KXSocketAccept(listener, &peer, log), ERROR_NONE);
    }

    // Reads exactly n bytes from the peer.
    std::string PeerRead(int n)
    {
        std::string data(static_cast<size_t>(n), '\0');
        int length = n;
        EXPECT_EQ(KXSocketReceive(peer, &data[0], &length, log), ERROR_NONE);
        data.resize(static_cast<size_t>(length));
        return data;
    }

    testutil::TempDir dir;
    std::string logPath = dir / "socket.log";
    KXLog* log = nullptr;
    KXSocket* listener = nullptr;
    KXSocket* client = nullptr;
    KXSocket* peer = nullptr;
};

// A server forked while a socket is open must not hold the connection: the
// listener, the client and the accepted peer are all close-on-exec.
TEST_F(SocketTest, EverySocketIsCloseOnExec)
{
    ConnectPair();
    for (KXSocket* s : {listener, client, peer})
        EXPECT_NE(fcntl(s->fd, F_GETFD) & FD_CLOEXEC, 0) << s->fd;
}

TEST_F(SocketTest, MovesWholeBuffersBothWays)
{
    ConnectPair();
    EXPECT_EQ(client->timeout, 998000);
    EXPECT_EQ(peer->timeout, 998000);
    EXPECT_EQ(listener->timeout, 0);
    EXPECT_GT(client->connectTime, 0);

    // Larger than the socket buffers, so both sides must take turns.
    std::string data(3 * 1024 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 1000);
    std::string received;
    std::thread reader([&] { received = PeerRead(static_cast<int>(data.size())); });
    int length = static_cast<int>(data.size());
    EXPECT_EQ(KXSocketSend(client, data.data(), &length, log), ERROR_NONE);
    reader.join();
    EXPECT_EQ(length, static_cast<int>(data.size()));
    EXPECT_TRUE(received == data);

    // And back, over the accepted socket.
    length = 5;
    EXPECT_EQ(KXSocketSend(peer, "hello", &length, log), ERROR_NONE);
    char buffer[8] = {};
    length = 5;
    EXPECT_EQ(KXSocketReceive(client, buffer, &length, log), ERROR_NONE);
    EXPECT_EQ(length, 5);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(LogText(), "");
}

TEST_F(SocketTest, SendsAtMost512BytesPerCall)
{
    ConnectPair();
    std::string data(1300, 'x');
    int length = 1300;
    {
        std::lock_guard<std::mutex> lock(gSendsMutex);
        gSendSizes.clear();
    }
    gRecordSends = true;
    KXStatus status = KXSocketSend(client, data.data(), &length, log);
    gRecordSends = false;
    EXPECT_EQ(status, ERROR_NONE);
    EXPECT_EQ(length, 1300);
    std::lock_guard<std::mutex> lock(gSendsMutex);
    EXPECT_EQ(gSendSizes, (std::vector<size_t>{512, 512, 276}));
    EXPECT_EQ(PeerRead(1300), data);
}

TEST_F(SocketTest, LinesAndFormattedText)
{
    ConnectPair();
    // Only the first line goes out, ended by CR LF, whatever ended it before.
    EXPECT_EQ(KXSocketSendLine(client, "GET /\nmore text", log), ERROR_NONE);
    EXPECT_EQ(PeerRead(7), "GET /\r\n");
    EXPECT_EQ(KXSocketSendLine(client, "a\r\nb\n", log), ERROR_NONE);
    EXPECT_EQ(KXSocketSendLine(client, "whole", log), ERROR_NONE);
    EXPECT_EQ(KXSocketFPrint(client, "%s=%d\r\n", log, "k", 42), ERROR_NONE);
    EXPECT_EQ(PeerRead(3 + 7 + 6), "a\r\nwhole\r\nk=42\r\n");
    // Nothing else was sent.
    KXSocketSetTimeout(peer, 50, log);
    char byte;
    int one = 1;
    EXPECT_EQ(KXSocketReceive(peer, &byte, &one, log), ERROR_SOCKET_TIMEOUT);
    EXPECT_EQ(one, 0);

    // Receiving lines: a full buffer stops early, a line keeps its LF.
    int length = 10;
    EXPECT_EQ(KXSocketSend(peer, "abcdef\nxy\n", &length, log), ERROR_NONE);
    char buffer[64];
    int size = 5;
    EXPECT_EQ(KXSocketReceiveLine(client, buffer, &size, log), ERROR_BUFFER_SIZE);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(size, 5);
    size = sizeof buffer;
    EXPECT_EQ(KXSocketReceiveLine(client, buffer, &size, log), ERROR_NONE);
    EXPECT_STREQ(buffer, "ef\n");
    EXPECT_EQ(KXSocketReceiveLine(client, buffer, &size, log), ERROR_NONE);
    EXPECT_STREQ(buffer, "xy\n");

    // A peer that goes away mid-line: what came is kept, the end reported.
    length = 2;
    EXPECT_EQ(KXSocketSend(peer, "zz", &length, log), ERROR_NONE);
    ClosePeerPolitely();
    EXPECT_EQ(KXSocketReceiveLine(client, buffer, &size, log), ERROR_SOCKET_CLOSED);
    EXPECT_STREQ(buffer, "zz");
}

TEST_F(SocketTest, RefusedConnection)
{
    unsigned short port = testutil::FreePort();
    ASSERT_EQ(KXSocketNew(&client, AF_INET, log), ERROR_NONE);
    EXPECT_EQ(KXSocketConnect(client, "127.0.0.1", port, 5, log), ERROR_SOCKET_CONNECT);
    // Either at once or after the wait; errno 111 is ECONNREFUSED.
    EXPECT_EQ(Lines("KXSocketConnect(): connect to [127.0.0.1]:" + std::to_string(port) +
                    " failed (111"),
              1)
        << LogText();
    EXPECT_EQ(client->connected, 0);
    int length = 1;
    EXPECT_EQ(KXSocketSend(client, "x", &length, log), ERROR_STATE);
    EXPECT_EQ(Lines("KXSocketSend(): mismacth of internal state"), 1);
}

TEST_F(SocketTest, ConnectTimesOutWhenNobodyAnswers)
{
    // A listener whose queue is full drops further connection requests.
    sockets::Endpoint at;
    int full = sockets::Listen(at, 0);
    ASSERT_GE(full, 0) << strerror(errno);
    std::vector<int> waiting;
    for (int i = 0; i < 4; ++i)
        waiting.push_back(sockets::Connect(at, SOCK_STREAM | SOCK_NONBLOCK));
    unsigned short port = at.port;

    ASSERT_EQ(KXSocketNew(&client, AF_INET, log), ERROR_NONE);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KXSocketConnect(client, "127.0.0.1", port, 1, log), ERROR_SOCKET_CONNECT);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_EQ(Lines("KXSocketConnect(): connect to [127.0.0.1]:" + std::to_string(port) +
                    " timed out"),
              1)
        << LogText();
    for (int fd : waiting)
        close(fd);
    close(full);
}

TEST_F(SocketTest, ConnectArgumentsAndState)
{
    ASSERT_EQ(KXServerSocketNew(&listener, "127.0.0.1", 0, AF_INET, log), ERROR_NONE);
    ASSERT_EQ(KXSocketNew(&client, AF_INET, log), ERROR_NONE);
    EXPECT_EQ(KXSocketConnect(client, "127.0.0.1", listener->port, 100, log), ERROR_PARAMETER);
    EXPECT_EQ(KXSocketConnect(client, nullptr, listener->port, 5, log), ERROR_PARAMETER);
    EXPECT_EQ(Lines("KXSocketConnect(): wrong arguments passed to procedure"), 2);
    // Untouched by the refusals: still blocking and unconnected.
    EXPECT_EQ(fcntl(client->fd, F_GETFL) & O_NONBLOCK, 0);

    // 0 waits without limit; the socket stays non-blocking afterwards.
    EXPECT_EQ(KXSocketConnect(client, "127.0.0.1", listener->port, 0, log), ERROR_NONE);
    EXPECT_NE(fcntl(client->fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_STREQ(client->host, "127.0.0.1");
    EXPECT_EQ(client->port, listener->port);
    EXPECT_EQ(KXSocketConnect(client, "127.0.0.1", listener->port, 5, log), ERROR_STATE);
    EXPECT_EQ(Lines("KXSocketConnect(): mismatch of internal state"), 1);

    KXSocket* other = nullptr;
    EXPECT_EQ(KXSocketNew(&other, AF_INET, log), ERROR_NONE);
    EXPECT_EQ(KXSocketConnect(other, "nohost.invalid", listener->port, 5, log), ERROR_ADDRINFO);
    EXPECT_EQ(KXSocketFree(&other, log), ERROR_NONE);
    EXPECT_EQ(other, nullptr);
}

TEST_F(SocketTest, PeerThatNeverReadsHitsTheGeneralTimeout)
{
    ConnectPair();
    ASSERT_EQ(KXSocketSetTimeout(client, 10, log), ERROR_NONE);
    std::string data(32 * 1024 * 1024, 'x');
    int length = static_cast<int>(data.size());
    EXPECT_EQ(KXSocketSend(client, data.data(), &length, log), ERROR_SOCKET_TIMEOUT);
    EXPECT_GT(length, 0);
    EXPECT_LT(length, static_cast<int>(data.size()));
    EXPECT_EQ(Lines("KXSocketSend(): socket #" + std::to_string(client->fd) +
                    " connected to [127.0.0.1]:" + std::to_string(listener->port) +
                    " exceeded general timeout of 0 seconds"),
              1)
        << LogText();
}

TEST_F(SocketTest, ClosedPeerFailsCheckAndReceive)
{
    ConnectPair();
    EXPECT_EQ(KXSocketCheck(client, log), ERROR_NONE);
    ClosePeerPolitely();
    EXPECT_TRUE(testutil::WaitUntil([&] { return KXSocketCheck(client, log) != ERROR_NONE; }, 5000));
    EXPECT_EQ(KXSocketCheck(client, log), ERROR_SOCKET_UNUSABLE);
    char buffer[4];
    int length = 4;
    EXPECT_EQ(KXSocketReceive(client, buffer, &length, log), ERROR_SOCKET_CLOSED);
    EXPECT_EQ(length, 0);
    // Neither the check nor the end of the peer is worth a line.
    EXPECT_EQ(LogText(), "");

    EXPECT_EQ(KXSocketCheck(nullptr, log), ERROR_PARAMETER);
    EXPECT_EQ(Lines("KXSocketCheck(): wrong parameters passed to procedure"), 1);
}

TEST_F(SocketTest, ResetByPeerIsAReceiveFailure)
{
    ConnectPair();
    // The listener's zero linger, inherited by the accepted socket, resets.
    KXSocketFree(&peer, log);
    char buffer[4];
    int length = 4;
    EXPECT_EQ(KXSocketReceive(client, buffer, &length, log), ERROR_SOCKET_RECEIVE);
    EXPECT_EQ(Lines("KXSocketReceive(): socket #" + std::to_string(client->fd) +
                    " connected to [127.0.0.1]:" + std::to_string(listener->port) +
                    " failed to receive data (Connection reset by peer)"),
              1)
        << LogText();
}

TEST_F(SocketTest, UnrequestedDataMakesAKeptSocketUnusable)
{
    ConnectPair();
    int length = 1;
    ASSERT_EQ(KXSocketSend(peer, "?", &length, log), ERROR_NONE);
    EXPECT_TRUE(testutil::WaitUntil([&] { return KXSocketCheck(client, log) != ERROR_NONE; }, 5000));
}

TEST_F(SocketTest, KeptSocketAgesOutAfter300Seconds)
{
    ConnectPair();
    client->connectTime = time(nullptr) - 299;
    EXPECT_EQ(KXSocketCheck(client, log), ERROR_NONE);
    client->connectTime = time(nullptr) - 301;
    EXPECT_EQ(KXSocketCheck(client, log), ERROR_SOCKET_UNUSABLE);
}

TEST_F(SocketTest, HostPortAndLocalAddress)
{
    ConnectPair();
    char buffer[64];
    unsigned short port = 0;
    std::memset(buffer, '#', sizeof buffer);
    // The host has 9 characters: a buffer of 9 has no room for the terminator.
    EXPECT_EQ(KXSocketGetHostPort(client, buffer, 9, &port, log), ERROR_BUFFER_SIZE);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(port, listener->port);
    EXPECT_EQ(KXSocketGetHostPort(client, buffer, 10, &port, log), ERROR_NONE);
    EXPECT_STREQ(buffer, "127.0.0.1");
    EXPECT_EQ(KXSocketGetHostPort(client, buffer, 0, &port, log), ERROR_PARAMETER);

    int size = sizeof buffer;
    EXPECT_EQ(KXSocketGetLocalHost(client, buffer, &size, log), ERROR_NONE);
    EXPECT_STREQ(buffer, "127.0.0.1");
    EXPECT_EQ(size, 10);
    std::memset(buffer, '#', sizeof buffer);
    size = 9;
    EXPECT_EQ(KXSocketGetLocalHost(client, buffer, &size, log), ERROR_BUFFER_SIZE);
    EXPECT_EQ(buffer[0], '#');

    // The accepted side knows its client by number and port.
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ASSERT_EQ(getsockname(client->fd, reinterpret_cast<sockaddr*>(&local), &length), 0);
    EXPECT_STREQ(peer->host, "127.0.0.1");
    EXPECT_EQ(peer->port, ntohs(local.sin_port));
    EXPECT_STREQ(listener->host, "127.0.0.1");
}

TEST_F(SocketTest, ListenerWithoutHostBindsEverywhere)
{
    ASSERT_EQ(KXServerSocketNew(&listener, nullptr, 0, AF_INET, log), ERROR_NONE);
    EXPECT_STREQ(listener->host, "*");
    ASSERT_EQ(KXSocketNew(&client, AF_INET, log), ERROR_NONE);
    EXPECT_EQ(KXSocketConnect(client, "localhost", listener->port, 5, log), ERROR_NONE);
    EXPECT_EQ(KXSocketAccept(listener, &peer, log), ERROR_NONE);

    // The port is taken now (by a listener on every address).
    KXSocket* second = nullptr;
    EXPECT_EQ(KXServerSocketNew(&second, "127.0.0.1", listener->port, AF_INET, log),
              ERROR_SOCKET_CONNECT);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(Lines("KXServerSocketNew(): cannot bind to [127.0.0.1]:" +
                    std::to_string(listener->port) + " ("),
              1)
        << LogText();
    EXPECT_EQ(KXServerSocketNew(&listener, nullptr, 0, AF_INET, log), ERROR_PARAMETER);
    EXPECT_EQ(Lines("KXServerSocketNew(): invalid parameter"), 1);
}

TEST(SocketErrorText, CopiesAtMostSizeBytesOfTheSystemText)
{
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(KXFormatSocketError(ENOENT, buffer, 3), ERROR_NONE);
    EXPECT_EQ(std::string(buffer, 4), "No #");
    EXPECT_EQ(KXFormatSocketError(ENOENT, nullptr, 3), ERROR_PARAMETER);
    EXPECT_EQ(KXFormatSocketError(ENOENT, buffer, -1), ERROR_PARAMETER);
    EXPECT_EQ(buffer[3], '#');
}

// Fills every free descriptor below 1024, so the next one is 1024 or above.
class LowDescriptorsTaken {
public:
    LowDescriptorsTaken()
    {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        if (limit.rlim_cur < 1100) {
            limit.rlim_cur = limit.rlim_max < 1100 ? limit.rlim_max : 1100;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        int source = open("/dev/null", O_RDONLY);
        if (source >= 0)
            mFds.push_back(source);
        for (;;) {
            int fd = dup(source);
            if (fd < 0)
                break;
            if (fd >= 1024) {
                close(fd);
                break;
            }
            mFds.push_back(fd);
        }
    }
    ~LowDescriptorsTaken()
    {
        for (int fd : mFds)
            close(fd);
    }
    LowDescriptorsTaken(const LowDescriptorsTaken&) = delete;
    LowDescriptorsTaken& operator=(const LowDescriptorsTaken&) = delete;

private:
    std::vector<int> mFds;
};

TEST_F(SocketTest, RefusesDescriptorsBeyondTheSelectRange)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 1100)
        GTEST_SKIP() << "descriptor limit too low to reach 1024";

    ASSERT_EQ(KXServerSocketNew(&listener, "127.0.0.1", 0, AF_INET, log), ERROR_NONE);
    ASSERT_EQ(KXSocketNew(&client, AF_INET, log), ERROR_NONE);
    ASSERT_EQ(KXSocketConnect(client, "127.0.0.1", listener->port, 5, log), ERROR_NONE);
    {
        LowDescriptorsTaken taken;
        KXSocket* s = nullptr;
        EXPECT_EQ(KXSocketNew(&s, AF_INET, log), ERROR_SOCKET_CREATE);
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(KXServerSocketNew(&s, "127.0.0.1", 0, AF_INET, log), ERROR_SOCKET_CREATE);
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(KXSocketAccept(listener, &peer, log), ERROR_SOCKET_ACCEPT);
        EXPECT_EQ(peer, nullptr);
    }
    std::string text = LogText();
    EXPECT_EQ(Lines("KXSocketNew(): socket #1024 is out of range (0..1023) for select()"), 1)
        << text;
    EXPECT_EQ(Lines("KXServerSocketNew(): socket #1024 is out of range (0..1023) for select()"),
              1)
        << text;
    EXPECT_EQ(Lines("KXSocketAccept(): socket #1024 is out of range (0..1023) for select()"), 1)
        << text;
    // The refused descriptors were closed again: the next socket is low.
    KXSocket* s = nullptr;
    ASSERT_EQ(KXSocketNew(&s, AF_INET, log), ERROR_NONE);
    EXPECT_LT(s->fd, 1024);
    KXSocketFree(&s, log);
}

}  // namespace

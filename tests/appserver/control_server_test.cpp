// The control channel on its own: the socket's directory and modes, stale
// and foreign sockets, the request and reply exchange with the controller's
// client, and the clients that must not hold anything up (silent, overlong,
// not reading, too many, not allowed). The loop is pumped by the test; time
// is moved forward by handing dispatch a later "now".
#include <gtest/gtest.h>

#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <atomic>
#include <future>
#include <sstream>
#include <thread>

#include "endpoints/ControlServer.h"
#include "common/service_copy.h"
#include "shared/sockets.h"
#include "common/test_util.h"
#include "foundation/Exceptions.h"
#include "servicectl/ControlClient.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Exchange {
    int code = -1;
    std::string out;
    std::string err;
};

class ControlChannel : public ::testing::Test {
protected:
    testutil::TempDir dir;
    std::string runDir = dir / "run";
    std::string socketPath = runDir + "/tarvelsvc.sock";
    std::vector<std::pair<CControlServer::ClientId, std::string>> requests;

    std::unique_ptr<CControlServer> Make()
    {
        return std::make_unique<CControlServer>(
            runDir, [this](CControlServer::ClientId id, const std::string& line) {
                requests.emplace_back(id, line);
            });
    }

    // One pass of a loop: prepare, wait up to `ms`, dispatch at `now + shift`.
    static void Pump(CControlServer& server, int ms = 20,
                     Clock::duration shift = Clock::duration::zero())
    {
        std::vector<pollfd> fds;
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
        server.prepare(fds, deadline);
        int timeout = static_cast<int>(std::max<long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                   .count()));
        poll(fds.data(), fds.size(), timeout);
        server.dispatch(fds.data(), fds.size(), Clock::now() + shift);
    }

    // Runs the controller's client in a thread while the test pumps the loop.
    std::future<Exchange> Ask(const std::string& request)
    {
        return std::async(std::launch::async, [this, request] {
            std::ostringstream out, err;
            Exchange e;
            e.code = SendControlRequest(socketPath, request, out, err, std::chrono::seconds(10));
            e.out = out.str();
            e.err = err.str();
            return e;
        });
    }

    Exchange Finish(CControlServer& server, std::future<Exchange>& pending)
    {
        for (int i = 0; i < 500; ++i) {
            if (pending.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready)
                break;
            Pump(server);
        }
        return pending.get();
    }

    int Connect() { return sockets::Connect(sockets::Endpoint::Unix(socketPath)); }

    static std::string ReadAll(int fd)
    {
        std::string text;
        char buffer[4096];
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 2000) > 0) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            text.append(buffer, static_cast<size_t>(n));
        }
        return text;
    }
};

TEST_F(ControlChannel, SocketModesStaleAndForeignFilesAndRemovalAtExit)
{
    // A stale socket (nobody listens) from a killed service is replaced.
    testutil::MakeDirs(runDir);
    chmod(runDir.c_str(), 0755);
    {
        sockets::Endpoint stale = sockets::Endpoint::Unix(socketPath);
        int fd = sockets::Bind(stale);
        ASSERT_GE(fd, 0) << strerror(errno);
        close(fd);
    }
    {
        auto server = Make();
        struct stat st;
        // A run/ found in place keeps the mode its owner gave it.
        ASSERT_EQ(lstat(runDir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        ASSERT_EQ(lstat(socketPath.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0600u);

        // A second service does not take over a socket that is served.
        CWIException e = testutil::Throws<CWIException>([&] { Make(); }, 1, "none");
        EXPECT_NE(std::string(e.what()).find("served by another running service"),
                  std::string::npos);
        EXPECT_EQ(lstat(socketPath.c_str(), &st), 0);
    }
    struct stat st;
    EXPECT_NE(lstat(socketPath.c_str(), &st), 0) << "own socket left behind";

    // A file that is not a socket is never removed.
    testutil::WriteFile(socketPath, "data");
    CWIException e = testutil::Throws<CWIException>([&] { Make(); }, 1, "none");
    EXPECT_NE(std::string(e.what()).find("is not a socket"), std::string::npos) << e.what();
    EXPECT_EQ(testutil::ReadFile(socketPath), "data");
    unlink(socketPath.c_str());
    rmdir(runDir.c_str());

    // run/ as a symlink is refused, and nothing is created where it points.
    testutil::MakeDirs(dir / "elsewhere");
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), runDir.c_str()), 0);
    e = testutil::Throws<CWIException>([&] { Make(); }, 1, "none");
    EXPECT_NE(std::string(e.what()).find("symbolic link"), std::string::npos) << e.what();
    EXPECT_NE(lstat((dir / "elsewhere/tarvelsvc.sock").c_str(), &st), 0);
}

TEST_F(ControlChannel, RequestsAndRepliesWithTheControllerClient)
{
    // No service: the client says so with status 3.
    std::ostringstream out, err;
    EXPECT_EQ(SendControlRequest(socketPath, "servers", out, err), CONTROL_NOT_RUNNING);
    EXPECT_EQ(err.str(), "No services running.\n");

    auto server = Make();
    auto pending = Ask("servers json");
    for (int i = 0; i < 200 && requests.empty(); ++i)
        Pump(*server);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].second, "servers json");
    // A reply in two parts, as a long operation gives it.
    server->reply(requests[0].first, "first line\n", false);
    Pump(*server);
    server->reply(requests[0].first, "second line\nOK\n", true);
    Exchange e = Finish(*server, pending);
    EXPECT_EQ(e.code, CONTROL_OK);
    EXPECT_EQ(e.out, "first line\nsecond line\n");
    EXPECT_EQ(e.err, "");

    requests.clear();
    pending = Ask("stopserver 10.0.0.9:1");
    for (int i = 0; i < 200 && requests.empty(); ++i)
        Pump(*server);
    ASSERT_EQ(requests.size(), 1u);
    server->reply(requests[0].first, "ERROR no server 10.0.0.9:1\n", true);
    e = Finish(*server, pending);
    EXPECT_EQ(e.code, CONTROL_FAILED);
    EXPECT_EQ(e.err, "no server 10.0.0.9:1\n");
    EXPECT_EQ(server->clientCount(), 0u);

    // A service that dies without answering is a failure, not a success.
    requests.clear();
    pending = Ask("reload");
    for (int i = 0; i < 200 && requests.empty(); ++i)
        Pump(*server);
    server.reset();
    e = pending.get();
    EXPECT_EQ(e.code, CONTROL_FAILED);
    EXPECT_NE(e.err.find("closed the connection"), std::string::npos) << e.err;
}

// A reply far larger than the socket buffer, with more queued while it is
// still being written, arrives whole and in order.
TEST_F(ControlChannel, ALongReplyArrivesWholeWithWhatFollowsIt)
{
    auto server = Make();
    auto pending = Ask("metrics");
    for (int i = 0; i < 200 && requests.empty(); ++i)
        Pump(*server);
    ASSERT_EQ(requests.size(), 1u);
    std::string lines;
    for (int i = 0; lines.size() < (4u << 20); ++i)
        lines += "line " + std::to_string(i) + "\n";
    server->reply(requests[0].first, lines, false);
    server->reply(requests[0].first, "last\nOK\n", true);
    Exchange e = Finish(*server, pending);
    EXPECT_EQ(e.code, CONTROL_OK);
    EXPECT_TRUE(e.out == lines + "last\n") << e.out.size() << " bytes";
}

TEST_F(ControlChannel, BadClientsCostOnlyTheirOwnConnection)
{
    auto server = Make();

    // Silent: after 5 s it gets an error and is closed.
    int silent = Connect();
    ASSERT_GE(silent, 0);
    // Overlong: 5000 bytes without a newline.
    int overlong = Connect();
    ASSERT_GE(overlong, 0);
    std::string big(5000, 'x');
    ASSERT_EQ(send(overlong, big.data(), big.size(), MSG_NOSIGNAL), 5000);
    // Malformed: a control character.
    int malformed = Connect();
    ASSERT_EQ(send(malformed, "serv\x01rs\n", 8, MSG_NOSIGNAL), 8);
    // Never reads: asks, and its reply is far larger than the socket buffer.
    int deaf = Connect();
    ASSERT_EQ(send(deaf, "servers\n", 8, MSG_NOSIGNAL), 8);
    for (int i = 0; i < 10 && server->clientCount() < 4; ++i)
        Pump(*server);
    for (int i = 0; i < 10 && requests.empty(); ++i)
        Pump(*server);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].second, "servers");
    auto started = Clock::now();
    server->reply(requests[0].first, std::string(8 << 20, 'y') + "\nOK\n", true);
    Pump(*server);
    // None of it blocked the loop.
    EXPECT_LT(testutil::ElapsedMs(started), 1000);
    EXPECT_EQ(ReadAll(overlong), "ERROR request longer than 4096 bytes\n");
    EXPECT_EQ(ReadAll(malformed),
              "ERROR malformed request: control character in the request line\n");

    // A good client is served meanwhile.
    requests.clear();
    auto pending = Ask("servers");
    for (int i = 0; i < 200 && requests.empty(); ++i)
        Pump(*server);
    ASSERT_EQ(requests.size(), 1u);
    server->reply(requests[0].first, "OK\n", true);
    EXPECT_EQ(Finish(*server, pending).code, CONTROL_OK);

    // Six seconds later the silent and the deaf client are gone.
    Pump(*server, 0, std::chrono::seconds(6));
    EXPECT_EQ(server->clientCount(), 0u);
    EXPECT_EQ(ReadAll(silent), "ERROR no complete request within 5 s\n");
    for (int fd : {silent, overlong, malformed, deaf})
        close(fd);

    // The number of connections is bounded; the one over gets a line.
    std::vector<int> held;
    for (size_t i = 0; i < CControlServer::kMaxClients; ++i) {
        held.push_back(Connect());
        Pump(*server, 0);
    }
    for (int i = 0; i < 5; ++i)
        Pump(*server, 0);
    EXPECT_EQ(server->clientCount(), CControlServer::kMaxClients);
    int extra = Connect();
    for (int i = 0; i < 5; ++i)
        Pump(*server, 0);
    EXPECT_EQ(ReadAll(extra), "ERROR too many control connections; try again\n");
    close(extra);
    for (int fd : held)
        close(fd);
}

TEST_F(ControlChannel, PeerOfAnotherUserIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    auto server = Make();
    // Modes opened up by hand: the credentials check is what stands then.
    chmod(dir.path().c_str(), 0711);
    chmod(runDir.c_str(), 0711);
    chmod(socketPath.c_str(), 0666);

    // The client runs in a child; the test pumps the loop until it is done.
    auto asked = std::async(std::launch::async, [&] {
        return testutil::RunAsUser("nobody", [&] {
            std::ostringstream out, err;
            int code =
                SendControlRequest(socketPath, "servers", out, err, std::chrono::seconds(10));
            return std::to_string(code) + " " + err.str();
        });
    });
    for (int i = 0; i < 500; ++i) {
        if (asked.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready)
            break;
        Pump(*server);
    }
    EXPECT_EQ(asked.get(), "1 permission denied: uid " + std::to_string(nobody->pw_uid) +
                               " is neither root nor the service's user\n");
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(server->clientCount(), 0u);
}

}  // namespace

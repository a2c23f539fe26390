// The supervision loop's one wait: nothing that happens before or during it
// is missed, it wakes exactly at a record's deadline, plugged-in sources get
// their descriptors and deadlines, and the wait for a process's end holds its
// bounds with and without pidfd. Also the gentle stop when threads run out.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <thread>

#include "appserver/AppServerManager.h"
#include "shared/gentle_stop_peer.h"
#include "common/installation.h"
#include "shared/manager_peer.h"
#include "servicectl/ProcessState.h"
#include "servicectl/Signals.h"

using testutil::Installation;
using Clock = std::chrono::steady_clock;

// This program is linked with pidfd_open wrapped, so that a test can make it
// fail as an old kernel or a full descriptor table would.
std::atomic<int> gPidfdError{0};
extern "C" int __real_pidfd_open(pid_t pid, unsigned int flags);
extern "C" int __wrap_pidfd_open(pid_t pid, unsigned int flags)
{
    if (int error = gPidfdError.load()) {
        errno = error;
        return -1;
    }
    return __real_pidfd_open(pid, flags);
}

namespace {

long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The service's signals, plugged into the wait as the service plugs them.
struct ServiceSignals : LoopSource {
    void prepare(std::vector<struct pollfd>& fds, Clock::time_point&) override
    {
        fds.push_back({servicectl::SignalDescriptor(), POLLIN, 0});
    }
    void dispatch(struct pollfd* fds, size_t count, Clock::time_point) override
    {
        if (count > 0 && fds[0].revents != 0)
            servicectl::ReadSignals();
    }
};

class EventLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        servicectl::WatchSignals();
        manager.addSource(&signals);
        inst.writeWebInterfaceConf("[GLOBAL]\n");
        inst.writeServerConfig({"<appserver host=\"127.0.0.1\" ports=\"8001\"/>"});
        manager.setIPList(std::vector<std::string>{"127.0.0.1"});
        manager.buildTables();
    }
    void TearDown() override
    {
        gPidfdError = 0;
        for (auto& p : ManagerTestPeer::records(manager))
            if (p.mState == ServerState::Serving)
                testutil::KillAndReap(p.mPid);
    }
    AppServerProcess& server() { return ManagerTestPeer::records(manager)[0]; }

    ServiceSignals signals;
    Installation inst;
    CAppServerManager manager;
};

// A child's end and a stop signal that come before the wait begins (after
// the last look, before the sleep) end it at once; so does an end during it.
// The limits are generous (a loaded machine is slow) but far below the
// 20 s that the waits would otherwise take.
TEST_F(EventLoop, EndsAndSignalsBeforeOrDuringTheWaitAreNeverMissed)
{
    manager.startServers();
    pid_t first = server().mPid;
    kill(first, SIGKILL);
    ASSERT_TRUE(testutil::WaitUntil([&] { return !testutil::ProcessRunning(first); }, 5000));
    auto start = Clock::now();
    manager.waitAndUpdateTerminated(20000);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(server().mState, ServerState::Down);
    EXPECT_EQ(server().mStatus, SIGKILL);

    manager.startServers();
    ASSERT_EQ(server().mState, ServerState::Serving);
    pid_t second = server().mPid;
    pid_t helper = fork();
    if (helper == 0) {
        usleep(300 * 1000);
        kill(second, SIGKILL);
        _exit(0);
    }
    start = Clock::now();
    while (server().mState == ServerState::Serving && MsSince(start) < 20000)
        manager.waitAndUpdateTerminated(20000);
    EXPECT_GE(MsSince(start), 250);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(server().mState, ServerState::Down);
    EXPECT_EQ(server().mRestarts, 1u);
    EXPECT_NE(server().mEndTime, 0);

    raise(SIGTERM);
    start = Clock::now();
    manager.waitAndUpdateTerminated(20000);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_TRUE(servicectl::StopRequested());
    EXPECT_EQ(inst.countMessage("Signal received: 15"), 1);
}

// Idle, the wait lasts its whole limit; a throttled start wakes it when due.
TEST_F(EventLoop, WakesAtTheThrottledStartAndNotBefore)
{
    manager.startServers();
    auto start = Clock::now();
    manager.waitAndUpdateTerminated(300);
    EXPECT_GE(MsSince(start), 299);
    testutil::KillAndReap(server().mPid);
    manager.waitAndUpdateTerminated(0);  // the SIGCHLD of that end

    // The fifth quick failure holds it back for 120 s from its last start;
    // here as if 119 of them had passed.
    ManagerTestPeer::place(server(), ServerState::Serving, server().mPid);
    server().mFailCount = 4;
    server().onEnd(SIGKILL, Clock::now());
    ASSERT_EQ(server().mState, ServerState::Throttled);
    server().mDeadline = Clock::now() + std::chrono::seconds(1);
    manager.startServers();
    EXPECT_EQ(server().mState, ServerState::Throttled);
    start = Clock::now();
    manager.waitAndUpdateTerminated(20000);
    EXPECT_GE(MsSince(start), 500);
    EXPECT_LT(MsSince(start), 5000);
    manager.startServers();
    EXPECT_EQ(server().mState, ServerState::Serving);
    EXPECT_EQ(inst.countMessage("Process::restart(): \"" + server().mCommand +
                                "\" failed 5 times within 60 s; next start in 120 s"),
              1);
}

// A source as the control plane will plug in: a pipe and a deadline.
class PipeSource : public LoopSource {
public:
    PipeSource() { EXPECT_EQ(pipe(fds), 0); }
    ~PipeSource() override
    {
        close(fds[0]);
        close(fds[1]);
    }
    void prepare(std::vector<struct pollfd>& pollfds, Clock::time_point& deadline) override
    {
        pollfds.push_back({fds[0], POLLIN, 0});
        if (due != Clock::time_point() && due < deadline)
            deadline = due;
    }
    void dispatch(struct pollfd* pollfds, size_t count, Clock::time_point) override
    {
        ++dispatched;
        ASSERT_EQ(count, 1u);
        if (pollfds[0].revents & POLLIN) {
            char c;
            ASSERT_EQ(read(fds[0], &c, 1), 1);
            ++readable;
        }
    }
    int fds[2];
    Clock::time_point due;
    int dispatched = 0, readable = 0;
};

TEST_F(EventLoop, SourcesGetTheirDescriptorsAndDeadlines)
{
    PipeSource source;
    manager.addSource(&source);
    ASSERT_EQ(write(source.fds[1], "x", 1), 1);
    auto start = Clock::now();
    manager.waitAndUpdateTerminated(20000);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(source.readable, 1);

    source.due = Clock::now() + std::chrono::milliseconds(200);
    start = Clock::now();
    manager.waitAndUpdateTerminated(20000);
    EXPECT_GE(MsSince(start), 199);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(source.dispatched, 2);
    EXPECT_EQ(source.readable, 1);

    manager.removeSource(&source);
    ASSERT_EQ(write(source.fds[1], "x", 1), 1);
    manager.waitAndUpdateTerminated(0);
    EXPECT_EQ(source.dispatched, 2);
}

// The wait for a process's end: the moment it happens, with or without a
// pidfd; never a false "ended" before the deadline, never much past it.
TEST(ProcessHandle, WaitHoldsItsBoundsWithAndWithoutPidfd)
{
    for (int error : {0, EMFILE, ENOSYS}) {
        gPidfdError = error;
        pid_t child = fork();
        if (child == 0) {
            usleep(300 * 1000);
            _exit(0);
        }
        ASSERT_GT(child, 0);
        servicectl::ProcessHandle handle(child);
        EXPECT_EQ(handle.fd() >= 0, error == 0) << error;
        auto start = Clock::now();
        EXPECT_FALSE(handle.WaitForEnd(start + std::chrono::milliseconds(100))) << error;
        EXPECT_GE(MsSince(start), 100) << error;
        EXPECT_TRUE(handle.WaitForEnd(start + std::chrono::milliseconds(5000))) << error;
        EXPECT_GE(MsSince(start), 250) << error;
        EXPECT_LT(MsSince(start), 5000) << error;  // generous: a loaded machine is slow
        EXPECT_EQ(waitpid(child, nullptr, 0), child);
    }
    gPidfdError = 0;
}

class GentleStopFallback : public EventLoop {};

// Without pidfd the stop still learns of the end within moments: the loop
// reaps on SIGCHLD, whatever pidfd_open does.
TEST_F(GentleStopFallback, ServerEndingOnTheRequestIsSeenWithoutPidfd)
{
    gPidfdError = EMFILE;
    auto peer = gentlestop::StartPeer("127.0.0.1", gentlestop::Behaviour::EndAtOnce);
    server().mPort = peer.port;
    ManagerTestPeer::place(server(), ServerState::Serving, peer.pid);
    auto start = Clock::now();
    manager.stopServers();
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_EQ(server().mState, ServerState::Down);
    EXPECT_EQ(server().mStatus, 0);
    EXPECT_TRUE(inst.messages().empty()) << testutil::ReadFile(inst.log());
}

uid_t ProcessUid(const std::string& dir)
{
    std::ifstream status(dir + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Uid:", 0) == 0)
            return static_cast<uid_t>(std::stoul(line.substr(4)));
    return static_cast<uid_t>(-1);
}

// The tasks (threads, which the process limit counts too) of the user.
int TasksOf(uid_t uid)
{
    int count = 0;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;  // not a process ("self" would count this one twice)
        std::string dir = std::string("/proc/") + entry->d_name;
        std::ifstream status(dir + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("Threads:", 0) == 0 && ProcessUid(dir) == uid)
                count += std::stoi(line.substr(8));
    }
    if (proc != nullptr)
        closedir(proc);
    return count;
}

// Shrinks the queue of `listener` (on 127.0.0.1:`port`) to one connection
// and fills it: a further connect waits for its time-out. Returns the
// filling connection, or -1.
int FillListenQueue(int listener, unsigned short port)
{
    if (listen(listener, 0) != 0)
        return -1;
    return testutil::ConnectLoopback(port);
}

// The name the kernel shows for `pid` ("sleep" once the stub server has
// reached its last exec).
std::string CommandName(pid_t pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// Makes the tasks of this user countable: every server has left the fork
// copy of this program for its stub (a copy may still carry a helper thread
// of the runtime, ThreadSanitizer's above all), and the runtime's own helper
// thread of this process, which it makes at the first thread of a fork,
// exists already instead of taking the room meant for a stop thread. A
// joined thread still counts until the kernel has released it, which is
// when it leaves /proc.
bool SettleTasks(const std::vector<AppServerProcess>& servers)
{
    pid_t warmUp = 0;
    std::thread([&warmUp] { warmUp = gettid(); }).join();
    std::string gone = "/proc/self/task/" + std::to_string(warmUp);
    return testutil::WaitUntil(
        [&] {
            if (access(gone.c_str(), F_OK) == 0)
                return false;
            for (const auto& p : servers)
                if (CommandName(p.mPid) != "sleep")
                    return false;
            return true;
        },
        10000);
}

// The child's part: its own manager with two servers, and room for one
// stop thread only; tells the first server's pid on firstPidOut. Returns the
// child's exit status, 0 when all went as it should. The manager's end joins
// the first request's thread, which the closed listener has refused by then
// (an unjoined thread at the exit is a report of ThreadSanitizer).
int StopWithRoomForOneThread(int firstPidOut)
{
    CAppServerManager own;
    own.setIPList(std::vector<std::string>{"127.0.0.1"});
    own.buildTables();
    own.startServers();
    for (const auto& p : own.processes())
        if (p.mState != ServerState::Serving)
            return 11;
    // The first stop thread is kept busy, also when it gets a head
    // start (ThreadSanitizer lets a new thread run first): its connect
    // waits on a listener whose queue is full, and its server is killed
    // a second later.
    unsigned short port = 0;
    int listener = gentlestop::ListenOn("127.0.0.1", port);
    int filler = FillListenQueue(listener, port);
    if (filler < 0)
        return 18;
    ManagerTestPeer::records(own)[0].mPort = port;
    pid_t first = own.processes()[0].mPid;
    if (!SettleTasks(own.processes()))
        return 16;
    if (write(firstPidOut, &first, sizeof first) != sizeof first)
        return 17;
    close(firstPidOut);
    // Room for exactly one more task of this user.
    rlim_t room = static_cast<rlim_t>(TasksOf(getuid()) + 1);
    rlimit limit{room, room};
    if (setrlimit(RLIMIT_NPROC, &limit) != 0)
        return 12;
    bool noneLeft = own.stopServers();
    const auto& ps = own.processes();
    if (ps[0].mState != ServerState::Down || ps[0].mStatus != SIGKILL)
        return 13;
    if (ps[1].mState != ServerState::Down || ps[1].mStatus != SIGTERM)
        return 14;
    close(filler);
    close(listener);
    return noneLeft ? 0 : 15;
}

// When the thread limit allows one stop thread but not two, the first server
// is still asked, the second goes straight to the hard stop, and nothing
// ends the stop early. Threads count against RLIMIT_NPROC, which root
// ignores, so a child of the test becomes "nobody" first. The first server
// is killed from the test's own process, so that no other task of that user
// comes or goes while the room is counted.
TEST_F(EventLoop, ServerWithoutAStopThreadGetsTheHardStop)
{
    int firstPid[2];
    ASSERT_EQ(pipe(firstPid), 0);
    inst.writeServerConfig({"<appserver host=\"127.0.0.1\" ports=\"8001,8002\"/>"});
    chmod(inst.path("").c_str(), 0711);
    chmod(inst.path("log").c_str(), 0777);
    chmod(inst.log().c_str(), 0666);
    pid_t child = fork();
    if (child == 0) {
        close(firstPid[0]);
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(10);
        _exit(StopWithRoomForOneThread(firstPid[1]));
    }
    ASSERT_GT(child, 0);
    close(firstPid[1]);
    pid_t first = 0;
    if (read(firstPid[0], &first, sizeof first) == sizeof first && first > 0) {
        // A server of the child, unreaped until the child's stop has seen
        // its end: the pid is still that server's.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        kill(first, SIGKILL);
    }
    close(firstPid[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << testutil::ReadFile(inst.log());
    EXPECT_EQ(testutil::CountLinesContaining(inst.log(), "Failed to shut down"), 0)
        << testutil::ReadFile(inst.log());
    EXPECT_EQ(testutil::CountLinesContaining(
                  inst.log(), "gentleStopServers(): no stop thread for [127.0.0.1]:8002"),
              1)
        << testutil::ReadFile(inst.log());
}

}  // namespace

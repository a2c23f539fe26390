// Supervision with real children: the argument vectors the servers get, the
// reaping through SIGCHLD and the drain, restarts, fork failures, and the
// servers' end with a killed supervisor.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "appserver/AppServerManager.h"
#include "common/installation.h"
#include "shared/manager_peer.h"

using testutil::Installation;

namespace {

// The manager's wait reaps every child of this test program; children are
// therefore watched through /proc and the drain, never waited for directly. Only records still marked running after
// a drain are killed: the pid of a reaped child may already be another
// process's.
void KillRunning(CAppServerManager& manager)
{
    manager.waitAndUpdateTerminated(0);
    for (const auto& p : manager.processes())
        if (p.mState == ServerState::Serving)
            kill(p.mPid, SIGKILL);
    for (const auto& p : manager.processes())
        if (p.mState == ServerState::Serving)
            testutil::WaitUntil([&] { return !testutil::ProcessRunning(p.mPid); }, 5000);
}

class Supervision : public ::testing::Test {
protected:
    explicit Supervision(bool realPerl = false)
        : inst(Installation::Use::InProcess,
               realPerl ? Installation::Perl::System : Installation::Perl::Stub)
    {
    }

    void SetUp() override { inst.writeWebInterfaceConf("[GLOBAL]\nTIMEOUT=150\n"); }
    void TearDown() override { KillRunning(manager); }

    // The records of one appserver element on 127.0.0.1 with these ports.
    void build(const std::vector<unsigned short>& ports, const std::string& extra = "")
    {
        std::string list;
        for (auto port : ports)
            list += (list.empty() ? "" : ",") + std::to_string(port);
        inst.writeServerConfig(
            {"<appserver host=\"127.0.0.1\" ports=\"" + list + "\"" + extra + "/>"});
        manager.setIPList(std::vector<std::string>{"127.0.0.1"});
        manager.buildTables();
    }

    // Until n servers still marked running have ended (and wait to be reaped).
    void waitForEnds(size_t n)
    {
        ASSERT_TRUE(testutil::WaitUntil(
            [&] {
                size_t ended = 0;
                for (const auto& p : manager.processes())
                    if (p.mState == ServerState::Serving && !testutil::ProcessRunning(p.mPid))
                        ++ended;
                return ended >= n;
            },
            10000));
    }

    // Drains the ended children; p's server must have exited with `code`,
    // which is logged once.
    void drainExpectingExit(const AppServerProcess& p, int code)
    {
        manager.waitAndUpdateTerminated(0);
        EXPECT_EQ(p.mState, ServerState::Down);
        EXPECT_EQ(p.mStatus, code << 8);
        EXPECT_EQ(inst.countMessage("Process::updateTerminated(): \"" + p.mCommand +
                                    "\" terminated with exit-state " + std::to_string(code)),
                  1);
    }

    Installation inst;
    CAppServerManager manager;
};

std::vector<std::string> ArgsOf(const std::string& file)
{
    EXPECT_TRUE(testutil::WaitUntil([&] { return access(file.c_str(), F_OK) == 0; }, 10000));
    return testutil::ReadLines(file);
}

TEST_F(Supervision, ArgumentVectorIsTheCommandSplitAtBlanks)
{
    setenv("STUB_ARGS", inst.path("args").c_str(), 1);
    setenv("STUB_EXIT", "0", 1);
    // Quotes are not interpreted and a tab separates nothing.
    ManagerTestPeer::add(manager, AppServerProcess("/base", "  -w  \"-Mfoo bar\"\t-x", "127.0.0.1",
                                                    8001, 1));
    manager.startServers();
    std::vector<std::string> expected = {inst.perl(),   "-w",       "\"-Mfoo",   "bar\"\t-x",
                                         inst.script(), "-localip", "127.0.0.1", "-port",
                                         "8001",        "-bind"};
    EXPECT_EQ(ArgsOf(inst.path("args")), expected);
}

TEST_F(Supervision, OptionsComeFromWebInterfaceConf)
{
    inst.writeWebInterfaceConf("[GLOBAL]\nOPTIONS=-w -Ilib\n");
    setenv("STUB_ARGS", inst.path("args").c_str(), 1);
    setenv("STUB_EXIT", "0", 1);
    build({8001});
    manager.startServers();
    std::vector<std::string> expected = {inst.perl(), "-w",    "-Ilib", inst.script(), "-localip",
                                         "127.0.0.1", "-port", "8001",  "-bind"};
    EXPECT_EQ(ArgsOf(inst.path("args")), expected);
}

TEST_F(Supervision, AtMostFifteenWordsArePassed)
{
    std::string options;
    for (int i = 1; i <= 20; ++i)
        options += " o" + std::to_string(i);
    setenv("STUB_ARGS", inst.path("args").c_str(), 1);
    setenv("STUB_EXIT", "0", 1);
    ManagerTestPeer::add(manager, AppServerProcess("/base", options, "", 8001, 0));
    manager.startServers();
    auto args = ArgsOf(inst.path("args"));
    ASSERT_EQ(args.size(), 15u);
    EXPECT_EQ(args[0], inst.perl());
    EXPECT_EQ(args[14], "o14");
}

TEST_F(Supervision, FourWordsWithoutOptionsHostAndBind)
{
    setenv("STUB_ARGS", inst.path("args").c_str(), 1);
    setenv("STUB_EXIT", "0", 1);
    ManagerTestPeer::add(manager, AppServerProcess("/base", "", "", 8001, 0));
    manager.startServers();
    std::vector<std::string> expected = {inst.perl(), inst.script(), "-port", "8001"};
    EXPECT_EQ(ArgsOf(inst.path("args")), expected);
}

// Three starts in one pass do not wait for each exec; each child's failure
// is still logged once, as its own line, before its "started" line.
TEST_F(Supervision, FailedExecIsLoggedByTheChildAndDrainedAsExitStateOne)
{
    build({8001, 8002, 8003});
    unlink(inst.perl().c_str());
    manager.startServers();
    waitForEnds(3);
    const std::string log = testutil::ReadFile(inst.log());
    for (const auto& p : manager.processes()) {
        drainExpectingExit(p, 1);
        EXPECT_EQ(p.mFailCount, 1);
        const std::string failed = "StartProcess(): failed for command \"" + p.mCommand +
                                   "\" (No such file or directory)";
        EXPECT_EQ(inst.countMessage(failed), 1);
        const size_t at = log.find("[" + std::to_string(p.mPid) + "] " + failed);
        EXPECT_NE(at, std::string::npos) << log;
        EXPECT_LT(at, log.find("started \"" + p.mCommand + "\"")) << log;
    }
}

TEST_F(Supervision, ExitCodeAndCoreDumpAreLogged)
{
    build({8001, 8002});
    auto& processes = ManagerTestPeer::records(manager);
    setenv("STUB_EXIT", "42", 1);
    processes[0].start(AppServerProcess::Clock::now());
    unsetenv("STUB_EXIT");

    // A core flag needs a real dump: a core limit and a writable directory.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    rlimit old{};
    getrlimit(RLIMIT_CORE, &old);
    rlimit core{64 << 20, std::max<rlim_t>(old.rlim_max, 64 << 20)};
    bool coreAllowed = setrlimit(RLIMIT_CORE, &core) == 0 && chdir(inst.path("").c_str()) == 0;
    setenv("STUB_SIGNAL", "SEGV", 1);
    processes[1].start(AppServerProcess::Clock::now());
    unsetenv("STUB_SIGNAL");
    setrlimit(RLIMIT_CORE, &old);
    ASSERT_EQ(chdir(cwd), 0);

    waitForEnds(2);
    manager.waitAndUpdateTerminated(0);
    EXPECT_EQ(inst.countMessage("Process::updateTerminated(): \"" + processes[0].mCommand +
                                "\" terminated with exit-state 42"),
              1);
    EXPECT_EQ(processes[1].mStatus & 0x7f, SIGSEGV);
    if (coreAllowed && (processes[1].mStatus & 0x80))
        EXPECT_EQ(inst.countMessage("Process::updateTerminated(): \"" + processes[1].mCommand +
                                    "\" terminated due to a segmentation fault (core dumped)"),
                  1);
    else
        EXPECT_EQ(inst.countMessage("Process::updateTerminated(): \"" + processes[1].mCommand +
                                    "\" terminated due to an unhandled signal #11"),
                  1);
    EXPECT_EQ(processes[0].mFailCount, 1);
    EXPECT_EQ(processes[1].mFailCount, 1);
}

TEST_F(Supervision, CleanExitResetsCountAndIsStartedAgainInTheNextPass)
{
    build({8001});
    auto& p = ManagerTestPeer::records(manager)[0];
    p.mFailCount = 4;
    setenv("STUB_EXIT", "0", 1);
    manager.startServers();
    pid_t first = p.mPid;
    waitForEnds(1);
    manager.waitAndUpdateTerminated(0);
    EXPECT_EQ(p.mState, ServerState::Down);
    EXPECT_EQ(p.mFailCount, 0);
    EXPECT_EQ(inst.messages().size(), 1u);  // the "started" line only
    unsetenv("STUB_EXIT");
    manager.startServers();
    EXPECT_EQ(p.mState, ServerState::Serving);
    EXPECT_NE(p.mPid, first);
    EXPECT_TRUE(testutil::ProcessRunning(p.mPid));
}

TEST_F(Supervision, ChildrenEndingDuringOneSleepAreDrainedAtOnce)
{
    build({8001, 8002, 8003, 8004, 8005});
    setenv("STUB_EXIT", "7", 1);
    manager.startServers();
    waitForEnds(5);
    size_t before = inst.messages().size();
    manager.waitAndUpdateTerminated(0);

    auto messages = inst.messages();
    ASSERT_EQ(messages.size(), before + 5);
    for (const auto& p : manager.processes()) {
        EXPECT_EQ(p.mState, ServerState::Down);
        EXPECT_EQ(std::count(messages.begin() + before, messages.end(),
                             "Process::updateTerminated(): \"" + p.mCommand +
                                 "\" terminated with exit-state 7"),
                  1);
    }
}

TEST_F(Supervision, UnknownChildIsDroppedSilently)
{
    build({8001});
    setenv("STUB_EXIT", "5", 1);
    pid_t stranger = fork();
    if (stranger == 0)
        _exit(5);
    ASSERT_GT(stranger, 0);
    // Reapable, not only shown as a zombie: a child with a second thread (as
    // ThreadSanitizer gives one) is shown as Z before the kernel lets it go.
    ASSERT_TRUE(testutil::WaitUntil([&] {
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(stranger), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == stranger;
    }, 10000));
    manager.waitAndUpdateTerminated(0);
    EXPECT_EQ(waitpid(stranger, nullptr, WNOHANG), -1);  // reaped
    EXPECT_TRUE(inst.messages().empty());
    EXPECT_EQ(manager.processes()[0].mState, ServerState::Down);
}

// An ended record keeps its last pid; when a later child of another record
// gets the same pid, its end belongs to that record only.
TEST_F(Supervision, EndedRecordWithARecycledPidIsLeftAlone)
{
    build({8001, 8002});
    auto& processes = ManagerTestPeer::records(manager);
    processes[1].start(AppServerProcess::Clock::now());
    ASSERT_EQ(processes[1].mState, ServerState::Serving);
    ManagerTestPeer::place(processes[0], ServerState::Down, processes[1].mPid);
    kill(processes[1].mPid, SIGKILL);
    waitForEnds(1);
    manager.waitAndUpdateTerminated(0);
    EXPECT_EQ(processes[1].mState, ServerState::Down);
    EXPECT_EQ(processes[1].mStatus, SIGKILL);
    EXPECT_EQ(processes[0].mStatus, 0);
    EXPECT_EQ(processes[0].mFailCount, 0);
    EXPECT_EQ(inst.countMessage("Process::updateTerminated(): \"" + processes[0].mCommand +
                                "\" terminated due to an unhandled signal #9"),
              0);
}

TEST_F(Supervision, DrainSleepsAtMostTheGivenTime)
{
    build({8001});
    auto start = std::chrono::steady_clock::now();
    manager.waitAndUpdateTerminated(200);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_GE(ms, 190);
    EXPECT_LT(ms, 1000);
}

TEST_F(Supervision, StopServersSignalsOnlyRunningRecords)
{
    // Ports nobody listens on: the stop's request is refused and SIGTERM
    // follows at once.
    build({testutil::FreePort(), testutil::FreePort(), testutil::FreePort()});
    auto& processes = ManagerTestPeer::records(manager);
    manager.startServers();
    for (const auto& p : processes)
        ASSERT_TRUE(testutil::ProcessRunning(p.mPid));
    // Stopped before, or never started: left alone.
    ManagerTestPeer::place(processes[1], ServerState::Down, processes[1].mPid);
    ManagerTestPeer::place(processes[2], ServerState::Down, processes[2].mPid);
    manager.stopServers();
    EXPECT_TRUE(
        testutil::WaitUntil([&] { return !testutil::ProcessRunning(processes[0].mPid); }, 5000));
    EXPECT_EQ(processes[0].mState, ServerState::Down);
    EXPECT_TRUE(testutil::ProcessRunning(processes[1].mPid));
    EXPECT_TRUE(testutil::ProcessRunning(processes[2].mPid));
    EXPECT_EQ(processes[2].mState, ServerState::Down);
    // To be ended by the fixture.
    ManagerTestPeer::place(processes[1], ServerState::Serving, processes[1].mPid);
    ManagerTestPeer::place(processes[2], ServerState::Serving, processes[2].mPid);
}

TEST_F(Supervision, DestructionTerminatesRunningServers)
{
    std::vector<pid_t> pids;
    {
        CAppServerManager other;
        other.setIPList(std::vector<std::string>{"127.0.0.1"});
        inst.writeServerConfig({"<appserver host=\"127.0.0.1\" ports=\"8001,8002\"/>"});
        other.buildTables();
        other.startServers();
        for (const auto& p : other.processes())
            pids.push_back(p.mPid);
    }
    for (pid_t pid : pids)
        EXPECT_TRUE(testutil::WaitUntil([&] { return !testutil::ProcessRunning(pid); }, 5000));
}

// A fork failure of the first record is logged and the second is still
// tried. Forks are made to fail with RLIMIT_NPROC in a child of the test;
// root is exempt from that limit, so the child first becomes "nobody".
TEST_F(Supervision, ForkFailureIsLoggedAndNextRecordTried)
{
    build({8001, 8002});
    // "nobody" must reach and write the log.
    chmod(inst.path("").c_str(), 0711);
    chmod(inst.path("log").c_str(), 0777);
    chmod(inst.log().c_str(), 0666);
    // SIGCHLD stays blocked until this child has been waited for here, so
    // that the handler cannot reap it first.
    sigset_t childSignal, old;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childSignal, &old);
    pid_t child = fork();
    if (child == 0) {
        sigprocmask(SIG_SETMASK, &old, nullptr);
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(10);
        rlimit one{1, 1};
        if (setrlimit(RLIMIT_NPROC, &one) != 0)
            _exit(11);
        manager.startServers();
        const auto& ps = manager.processes();
        bool ok = ps[0].mState == ServerState::Down && ps[1].mState == ServerState::Down && ps[0].mFailCount == 1 &&
                  ps[1].mFailCount == 1 && ps[0].mStartTime != 0 && ps[1].mStartTime != 0;
        _exit(ok ? 0 : 12);
    }
    int status = 0;
    pid_t waited = child > 0 ? waitpid(child, &status, 0) : -1;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    ASSERT_GT(child, 0);
    ASSERT_EQ(waited, child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(
        inst.countMessage("CAppServerManagerImpl::startServers(): Process::start(): failed to "
                          "fork a new process (Resource temporarily unavailable) (status=1)"),
        2);
}

// The servers of a supervisor that dies by SIGKILL end with it (instead of
// running on unsupervised and holding their ports).
TEST_F(Supervision, ServersEndWithAKilledSupervisor)
{
    testutil::BecomeSubreaper();
    build({8001, 8002});
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t supervisor = fork();
    ASSERT_GE(supervisor, 0);
    if (supervisor == 0) {
        close(fds[0]);
        manager.startServers();
        for (const auto& p : manager.processes())
            if (write(fds[1], &p.mPid, sizeof p.mPid) != sizeof p.mPid)
                _exit(1);
        close(fds[1]);
        for (;;)
            pause();
    }
    close(fds[1]);
    // The two pids arrive in two writes: read until both are in (or EOF).
    std::vector<pid_t> servers(2);
    char* into = reinterpret_cast<char*>(servers.data());
    size_t got = 0;
    for (ssize_t n = 1; n > 0 && got < sizeof(pid_t) * 2; got += n > 0 ? n : 0)
        n = read(fds[0], into + got, sizeof(pid_t) * 2 - got);
    close(fds[0]);
    std::vector<bool> running;
    for (pid_t pid : servers)
        running.push_back(testutil::ProcessRunning(pid));

    // Killed before any assertion can leave the test: a supervisor left
    // pausing (and its servers) would hold the test's output open forever.
    kill(supervisor, SIGKILL);
    ASSERT_EQ(got, sizeof(pid_t) * 2);
    for (bool isRunning : running)
        ASSERT_TRUE(isRunning);
    for (pid_t pid : servers) {
        bool ended = testutil::WaitUntil([&] { return !testutil::ProcessRunning(pid); }, 1000, 5);
        EXPECT_TRUE(ended) << "server " << pid << " outlived its supervisor";
        if (!ended)
            kill(pid, SIGKILL);
    }
}

// The demo's application server: it answers HTTP, is restarted after a
// SIGKILL, and leaves with code 0 on the shutdown request.
class DemoServer : public Supervision {
protected:
    DemoServer() : Supervision(true) {}
};

TEST_F(DemoServer, RestartedAfterSigkillWithUnhandledSignalLine)
{
    unsigned short port = testutil::FreePort();
    build({port});
    auto& p = ManagerTestPeer::records(manager)[0];
    manager.startServers();
    ASSERT_TRUE(testutil::WaitUntil([&] { return testutil::PortOpen(port); }, 10000));
    pid_t first = p.mPid;

    kill(first, SIGKILL);
    manager.waitAndUpdateTerminated(5000);  // cut short by the SIGCHLD
    EXPECT_EQ(p.mState, ServerState::Down);
    EXPECT_EQ(p.mStatus, SIGKILL);
    EXPECT_EQ(p.mFailCount, 1);
    EXPECT_EQ(inst.countMessage("Process::updateTerminated(): \"" + p.mCommand +
                                "\" terminated due to an unhandled signal #9"),
              1);

    manager.startServers();
    EXPECT_EQ(p.mState, ServerState::Serving);
    EXPECT_NE(p.mPid, first);
    EXPECT_TRUE(testutil::WaitUntil([&] { return testutil::PortOpen(port); }, 10000));
    EXPECT_EQ(inst.countMessage("Process::start(): started \"" + p.mCommand + "\""), 2);
}

}  // namespace

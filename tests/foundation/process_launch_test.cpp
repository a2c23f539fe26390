// The start of a server's process: what the child does between the clone and
// the exec, seen from outside.
#include "foundation/ProcessLaunch.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "foundation/Log.h"

using namespace testutil;

namespace {

// Every ordinary log line takes the C library's time-zone lock in
// localtime_r. Here that lock is this mutex, which a test can hold from
// another thread, as a thread in the middle of a log line does.
pthread_mutex_t gTimeZoneLock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

extern "C" struct tm* localtime_r(const time_t* __restrict timer,
                                  struct tm* __restrict result) noexcept
{
    typedef struct tm* (*Real)(const time_t*, struct tm*);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "localtime_r"));
    pthread_mutex_lock(&gTimeZoneLock);
    struct tm* done = real(timer, result);
    pthread_mutex_unlock(&gTimeZoneLock);
    return done;
}

namespace {

class ProcessLaunch : public ::testing::Test {
protected:
    void SetUp() override { CLog::setFileName(log.c_str()); }
    TempDir dir;
    std::string log = dir / "Service.log";
};

TEST_F(ProcessLaunch, FailedExecWhileAnotherThreadIsMidLineEndsAtOnceWithItsLine)
{
    // The holder lets go after 5 s at the latest: a child that waits for
    // the lock holds this thread in the launch (the parent resumes only at
    // the child's exec or end), and the test must end anyway.
    std::atomic<bool> held{false}, gaveUp{false};
    std::promise<void> release;
    std::thread holder([&] {
        pthread_mutex_lock(&gTimeZoneLock);
        held = true;
        gaveUp = release.get_future().wait_for(std::chrono::seconds(5)) !=
                 std::future_status::ready;
        pthread_mutex_unlock(&gTimeZoneLock);
    });
    ASSERT_TRUE(WaitUntil([&] { return held.load(); }, 5000));

    LaunchOptions options;
    options.command = dir / "missing-program -port 1";
    const pid_t pid = LaunchProcess(options);
    int status = -1;
    const bool ended =
        pid > 0 && WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5000);
    release.set_value();
    holder.join();
    if (pid > 0 && !ended)
        KillAndReap(pid);
    ASSERT_GT(pid, 0);
    ASSERT_FALSE(gaveUp.load()) << "the child waited for the lock before its exec";
    ASSERT_TRUE(ended) << "the child hung before its exec";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(CountLinesContaining(log, "StartProcess(): failed for command \"" + options.command +
                                            "\" (No such file or directory)"),
              1);
}

TEST_F(ProcessLaunch, ServerLeadsItsSessionWithDefaultSignalsAndItsOutputFile)
{
    // As the service runs: its stop signals blocked, SIGPIPE ignored.
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);

    LaunchOptions options;
    options.command = "/bin/sleep 30";
    options.outputFile = dir / "server.log";
    const pid_t pid = LaunchProcess(options);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    sigaction(SIGPIPE, &old, nullptr);
    ASSERT_GT(pid, 0);

    EXPECT_EQ(getsid(pid), pid);
    EXPECT_EQ(StatusField(pid, "SigBlk"), "0000000000000000");
    EXPECT_EQ(StatusField(pid, "SigIgn"), "0000000000000000");
    char target[4096] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(pid) + "/fd/1").c_str(), target, 4095), 0);
    EXPECT_EQ(std::string(target), options.outputFile);
    KillAndReap(pid);

    options.newSession = false;
    const pid_t inGroup = LaunchProcess(options);
    ASSERT_GT(inGroup, 0);
    EXPECT_EQ(getsid(inGroup), getsid(0));
    KillAndReap(inGroup);
}

// Starts in a row that do not wait for each exec, more than run at once:
// after FinishLaunches every child is past its exec, in its own session
// with its output file, and each failed exec is logged once, as the line of
// the child that failed, while the caller's errno stays its own.
TEST_F(ProcessLaunch, OverlappedStartsAreAllPastTheirExecAfterTheFinish)
{
    std::vector<pid_t> running, failed;
    LaunchOptions options;
    options.overlap = true;
    for (int i = 0; i < 12; ++i) {
        options.command = i % 3 == 2 ? dir / "missing-program" : "/bin/sleep 30";
        options.outputFile = dir / ("out" + std::to_string(i));
        const pid_t pid = LaunchProcess(options);
        ASSERT_GT(pid, 0);
        (i % 3 == 2 ? failed : running).push_back(pid);
    }
    errno = 0;
    FinishLaunches();
    EXPECT_EQ(errno, 0);
    for (pid_t pid : running) {
        EXPECT_EQ(getsid(pid), pid);
        EXPECT_EQ(StatusField(pid, "Name"), "sleep");
        EXPECT_EQ(StatusField(pid, "SigBlk"), "0000000000000000");
        KillAndReap(pid);
    }
    const std::string line =
        "StartProcess(): failed for command \"" + (dir / "missing-program") + "\" (No such file or directory)";
    EXPECT_EQ(CountLinesContaining(log, line), 4);
    for (pid_t pid : failed) {
        int status = -1;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
        EXPECT_EQ(CountLinesContaining(log, "[" + std::to_string(pid) + "] " + line), 1);
    }
}

TEST_F(ProcessLaunch, ServerStartsInTheGivenCgroup)
{
    const std::string cgroup = MakeChildCgroup("tarvel-launch-test-" + std::to_string(getpid()));
    if (cgroup.empty())
        GTEST_SKIP() << "no cgroup v2 directory may be made here";
    const int fd = open(cgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    LaunchOptions options;
    options.command = "/bin/sleep 30";
    options.cgroupFd = fd;
    const pid_t pid = LaunchProcess(options);
    close(fd);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(ReadFile(cgroup + "/cgroup.procs"), std::to_string(pid) + "\n");
    KillAndReap(pid);
    EXPECT_EQ(rmdir(cgroup.c_str()), 0);
}

}  // namespace

namespace {

// The service's own supervisor variables never reach a server; a server that
// hears the service's socket gets its path and its watchdog, and the rest of
// the environment is passed on.
TEST_F(ProcessLaunch, ServerGetsTheServiceSocketNotTheServiceOwnSupervisor)
{
    setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1);
    setenv("WATCHDOG_PID", "1", 1);
    setenv("WATCHDOG_USEC", "5", 1);
    setenv("TARVEL_PASSED_ON", "yes", 1);
    LaunchOptions options;
    options.command = "/usr/bin/env";
    options.outputFile = dir / "env.out";
    options.notifySocket = "/base/run/notify";
    options.watchdogUsec = 2000000;
    pid_t pid = LaunchProcess(options);
    int status = -1;
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5000));
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_PID");
    unsetenv("WATCHDOG_USEC");
    unsetenv("TARVEL_PASSED_ON");
    std::string env = ReadFile(options.outputFile);
    EXPECT_NE(env.find("\nNOTIFY_SOCKET=/base/run/notify\n"), std::string::npos) << env;
    EXPECT_NE(env.find("\nWATCHDOG_USEC=2000000\n"), std::string::npos) << env;
    EXPECT_NE(env.find("\nTARVEL_PASSED_ON=yes\n"), std::string::npos) << env;
    EXPECT_EQ(env.find("/run/systemd/notify"), std::string::npos) << env;
    EXPECT_EQ(env.find("WATCHDOG_PID="), std::string::npos) << env;
    EXPECT_EQ(env.find("WATCHDOG_USEC=5\n"), std::string::npos) << env;
}

}  // namespace

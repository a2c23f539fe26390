// The start of a server's process: what the child does between the clone and
// the exec, seen from outside.
#include "appserver/ProcessLaunch.h"

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
#include <fstream>
#include <future>
#include <string>
#include <thread>

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

// The value of `field` ("SigBlk:") in /proc/pid/status.
std::string StatusField(pid_t pid, const std::string& field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field, 0) == 0)
            return line.substr(line.find_first_not_of(" \t", field.size()));
    return "";
}

// The cgroup v2 directory this process is in, or "" without one.
std::string OwnCgroupDir()
{
    for (const char* mount : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
        struct stat info;
        if (stat((std::string(mount) + "/cgroup.procs").c_str(), &info) != 0)
            continue;
        std::ifstream in("/proc/self/cgroup");
        for (std::string line; std::getline(in, line);)
            if (line.rfind("0::", 0) == 0)
                return mount + line.substr(3);
    }
    return "";
}

class ProcessLaunch : public ::testing::Test {
protected:
    void SetUp() override { CLog::setFileName(log.c_str()); }
    TempDir dir;
    std::string log = dir / "Service.log";
};

TEST_F(ProcessLaunch, FailedExecWhileAnotherThreadIsMidLineEndsAtOnceWithItsLine)
{
    std::atomic<bool> held{false};
    std::promise<void> release;
    std::thread holder([&] {
        pthread_mutex_lock(&gTimeZoneLock);
        held = true;
        release.get_future().wait();
        pthread_mutex_unlock(&gTimeZoneLock);
    });
    ASSERT_TRUE(WaitUntil([&] { return held.load(); }, 5000));

    LaunchOptions options;
    options.command = dir / "missing-program -port 1";
    const pid_t pid = LaunchProcess(options);
    ASSERT_GT(pid, 0);
    int status = -1;
    const bool ended = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5000);
    release.set_value();
    holder.join();
    if (!ended)
        KillAndReap(pid);
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
    EXPECT_EQ(StatusField(pid, "SigBlk:"), "0000000000000000");
    EXPECT_EQ(StatusField(pid, "SigIgn:"), "0000000000000000");
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

TEST_F(ProcessLaunch, ServerStartsInTheGivenCgroup)
{
    const std::string own = OwnCgroupDir();
    const std::string cgroup = own + "/tarvel-launch-test-" + std::to_string(getpid());
    if (own.empty() || mkdir(cgroup.c_str(), 0755) != 0)
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

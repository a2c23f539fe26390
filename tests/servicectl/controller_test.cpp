// The controller in this process. There is one controller per process, so
// every test shares the one made by Controller().
#include "servicectl/DaemonController.h"
#include "servicectl/DaemonIdentity.h"

#include "common/test_util.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

namespace {

class NamedDaemon : public CDaemon {
public:
    NamedDaemon(const std::string& name, const std::string& usage = "")
        : CDaemon(name, name, name), mUsage(usage)
    {
    }
    std::string getUsage() override { return mUsage; }
    int run(const std::vector<std::string>& args) override
    {
        mArgs = args;
        return 42;
    }
    std::vector<std::string> mArgs;

private:
    std::string mUsage;
};

class NotADaemon : public CServiceBase {
public:
    NotADaemon() : CServiceBase("plain", "plain", "plain") {}
    bool serviceStopped() override { return false; }
};

NamedDaemon gFirst("First");
NamedDaemon gSecond("Second", "\t-y : a switch of Second");

CDaemonController& Controller()
{
    static CDaemonController* controller = [] {
        auto* c = new CDaemonController;
        c->registerService(&gFirst);
        c->registerService(&gSecond);
        return c;
    }();
    return *controller;
}

template <class F>
std::string ServiceError(F work)
{
    try {
        work();
    } catch (const CServiceException& e) {
        EXPECT_EQ(e.getCode(), 0);
        return e.what();
    }
    return "no exception";
}

// Left parts of 10, 9, 28, 17, 30, 30 and 9 characters.
const std::string kControllerUsage =
    std::string(24, ' ') + "-install: Install registered services\n" +
    std::string(25, ' ') + "-remove: Uninstall registered services\n" +
    std::string(6, ' ') +
    "-start <service> [options]: Run <service>. If <service> is omitted, the first registered "
    "service is started\n" +
    std::string(17, ' ') + "-stop <service>: Stop <service>\n" +
    std::string(4, ' ') + "-restart <service> [options]: Restart running <service>\n" +
    std::string(4, ' ') + "-console <service> [options]: Run <service> in foreground\n" +
    std::string(25, ' ') + "-status: Show service status\n";

TEST(Controller, ControllerUsageIsRightAlignedTo34Columns)
{
    EXPECT_EQ(Controller().getControllerUsage(), kControllerUsage);
}

TEST(Controller, FullUsageListsServicesAndTheirOwnUsage)
{
    EXPECT_EQ(Controller().getUsage("/x/prog"),
              std::string("Usage: /x/prog <switch> [service] [service specific options]\n\n") +
                  kControllerUsage +
                  "\nRegistered services:\nFirst\nSecond\n\t-y : a switch of Second\n");
    EXPECT_EQ(Controller().getServiceUsage("First"), "");
}

TEST(Controller, OnlyOneControllerPerProcess)
{
    Controller();
    try {
        CDaemonController second;
        FAIL() << "no exception";
    } catch (const CException& e) {
        EXPECT_STREQ(e.what(),
                     "CServiceControllerBase::CServiceControllerBase(): Cannot instantiate "
                     "ServiceController more than once");
    }
}

TEST(Controller, RegistrationErrors)
{
    NamedDaemon duplicate("First");
    EXPECT_EQ(ServiceError([&] { Controller().registerService(&duplicate); }),
              "CDaemonController::registerService(): Service already registered");
    NotADaemon plain;
    EXPECT_EQ(ServiceError([&] { Controller().registerService(&plain); }),
              "CDaemonController::registerService(): Attempt to register an invalid service "
              "object");
    EXPECT_FALSE(Controller().isServiceRegistered("plain"));
    EXPECT_EQ(CDaemonController::getDaemonByName("plain"), nullptr);
    EXPECT_EQ(CDaemonController::getDaemonByName("Second"), &gSecond);
    EXPECT_EQ(Controller().getService("First"), static_cast<IService*>(&gFirst));
    EXPECT_EQ(ServiceError([&] { Controller().getService("Nope"); }),
              "CDaemonController::getService(): no such service 'Nope'");
}

TEST(Controller, FirstSwitchInFixedOrderWins)
{
    CCmdLine cmd("-stop X -start Y -debug 3", "-");
    std::string name;
    EXPECT_EQ(Controller().parseOptions(cmd, name), CServiceControllerBase::ACTION_START);
    EXPECT_EQ(name, "Y");
    auto extra = cmd.getExtraOptions();
    std::sort(extra.begin(), extra.end());
    EXPECT_EQ(extra, (std::vector<std::string>{"-debug", "-stop"}));

    struct {
        const char* line;
        int action;
        const char* name;
    } cases[] = {
        {"-restart R -console C -runservice S", 7, "S"},
        {"-restart R -console C", 6, "C"},
        {"-restart R -stop", 4, ""},
        {"-restart R", 5, "R"},
        {"-status -remove -install", 1, ""},
        {"-status -remove", 2, ""},
        {"-status v", 8, ""},  // a value of -status goes with it
        {"-debug 3", 0, ""},
        {"", 0, ""},
    };
    for (const auto& c : cases) {
        CCmdLine line(c.line, "-");
        std::string value;
        EXPECT_EQ(Controller().parseOptions(line, value), c.action) << c.line;
        EXPECT_EQ(value, c.name) << c.line;
    }
    CCmdLine status("-status v", "-");
    Controller().parseOptions(status, name);
    EXPECT_EQ(status.getNumOptions(), 0);
}

TEST(Controller, ConsoleRunsTheServiceHere)
{
    EXPECT_EQ(Controller().startServiceConsole("Second", {"-a", ""}), 42);
    EXPECT_EQ(gSecond.mArgs, (std::vector<std::string>{"-a", ""}));
    EXPECT_EQ(ServiceError([&] { Controller().startServiceConsole("Nope", {}); }),
              "CDaemonController::startServiceConsole(): Attempt to start an unknown service");
    std::vector<std::string> args{"-x"};
    auto position = args.cbegin();
    EXPECT_FALSE(Controller().parseOption(args, position));
    EXPECT_EQ(position, args.cbegin());
}

TEST(Controller, InstallAndRemoveAreNotImplemented)
{
    testutil::TempDir dir;
    std::string log = dir / "service.log";
    CLog::setFileName(log.c_str());
    testing::internal::CaptureStderr();
    Controller().installServices();
    Controller().uninstallServices();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Function not implemented\nFunction not implemented\n");
    EXPECT_EQ(testutil::CountLinesContaining(
                  log, "] CDaemonController::installServices(): function not implemented"),
              1);
    EXPECT_EQ(testutil::CountLinesContaining(
                  log, "] CDaemonController::uninstallServices(): function not implemented"),
              1);
}

TEST(DaemonAlive, OnlyLiveProcessesOfTheSameExecutable)
{
    EXPECT_TRUE(isDaemonPIDAlive(getpid()));
    EXPECT_FALSE(isDaemonPIDAlive(0));
    EXPECT_FALSE(isDaemonPIDAlive(-1));
    EXPECT_FALSE(isDaemonPIDAlive(1 << 30));

    // A child of this executable is alive until it ends; as a zombie it is not.
    pid_t same = fork();
    ASSERT_GE(same, 0);
    if (same == 0) {
        pause();
        _exit(0);
    }
    EXPECT_TRUE(isDaemonPIDAlive(same));
    kill(same, SIGKILL);
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, same, &info, WEXITED | WNOWAIT), 0);  // ended, not reaped
    EXPECT_FALSE(isDaemonPIDAlive(same));
    waitpid(same, nullptr, 0);

    // Another executable is not a daemon of ours.
    pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    char own[4096];
    ssize_t ownLength = readlink("/proc/self/exe", own, sizeof own);
    ASSERT_GT(ownLength, 0);
    bool execed = false;
    for (int i = 0; i < 500 && !execed; ++i) {
        char buf[4096];
        ssize_t n = readlink(("/proc/" + std::to_string(other) + "/exe").c_str(), buf, sizeof buf);
        execed = n > 0 && std::string(buf, n) != std::string(own, ownLength);
        if (!execed)
            usleep(10000);
    }
    EXPECT_TRUE(execed);
    EXPECT_FALSE(isDaemonPIDAlive(other));
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
}

// Runs /bin/sleep with exactly `env`; returns its pid once it has exec'd.
pid_t SleepWithEnvironment(const std::vector<std::string>& env)
{
    std::vector<char*> envp;
    for (const std::string& entry : env)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("30"), nullptr};
        execve("/bin/sleep", argv, envp.data());
        _exit(127);
    }
    testutil::WaitUntil([&] {
        char buf[4096];
        ssize_t n = readlink(("/proc/" + std::to_string(child) + "/exe").c_str(), buf, sizeof buf);
        return n > 0 && std::string(buf, n).find("sleep") != std::string::npos;
    }, 5000, 5);
    return child;
}

// The installation of a process is the first TARVEL entry of its
// environment, matched exactly (not TARVEL_LOG, not a bare TARVEL), also
// across reads; a process that /proc does not show to the caller is never
// taken for ours.
TEST(DaemonIdentity, TarvelIsReadFromTheProcessEnvironment)
{
    std::string longValue(10000, 'v');
    pid_t first = SleepWithEnvironment({"TARVEL_LOG=/wrong", "TARVE=/short", "TARVEL",
                                        "PAD=" + std::string(9000, 'p'), "TARVEL=" + longValue,
                                        "TARVEL=/second"});
    pid_t none = SleepWithEnvironment({"TARVEL_LOG=/x", "XTARVEL=/y", "TARVEL"});
    std::string value;
    EXPECT_EQ(servicectl::ReadProcessTarvel(first, value), 1);
    EXPECT_EQ(value, longValue);
    EXPECT_EQ(servicectl::ReadProcessTarvel(none, value), 0);
    EXPECT_EQ(servicectl::ReadProcessTarvel(1 << 30, value), -1);
    for (pid_t pid : {first, none}) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }

    if (geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    pid_t parent = getpid();
    pid_t checker = fork();
    if (checker == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        servicectl::DaemonState state = servicectl::CheckDaemon(parent);
        _exit(state == servicectl::DaemonState::Unverified ? 0 : 20 + static_cast<int>(state));
    }
    int status = 0;
    ASSERT_EQ(waitpid(checker, &status, 0), checker);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace

// The daemon base in this process: handlers, the stop flag and the log lines
// of received signals. The stop flag never resets, so every test here holds
// whether or not another one raised a signal before it.
#include "servicectl/Service.h"

#include "common/test_util.h"
#include "foundation/Log.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <cstring>

namespace {

class TestDaemon : public CDaemon {
public:
    explicit TestDaemon(const std::string& name) : CDaemon(name, name + " display", name + " text") {}
};

struct sigaction Query(int signal)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    sigaction(signal, nullptr, &action);
    return action;
}

TEST(Daemon, HandlesTheTerminationSignalsAndLeavesOthersAlone)
{
    const int untouched[] = {SIGHUP, SIGQUIT, SIGUSR1, SIGCHLD, SIGPIPE};
    std::vector<void (*)(int)> before;
    for (int s : untouched)
        before.push_back(Query(s).sa_handler);

    TestDaemon daemon("d");
    EXPECT_EQ(daemon.run({}), 0);

    const int handled[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGINT, SIGPWR, SIGSEGV, SIGTERM};
    void (*handler)(int) = Query(SIGTERM).sa_handler;
    EXPECT_NE(handler, SIG_DFL);
    EXPECT_NE(handler, SIG_IGN);
    for (int s : handled) {
        struct sigaction action = Query(s);
        EXPECT_EQ(action.sa_handler, handler) << s;
        EXPECT_TRUE(action.sa_flags & SA_RESTART) << s;
        EXPECT_EQ(sigismember(&action.sa_mask, SIGCHLD), 1) << s;
        EXPECT_EQ(sigismember(&action.sa_mask, SIGUSR2), 1) << s;
    }
    for (size_t i = 0; i < sizeof untouched / sizeof untouched[0]; ++i)
        EXPECT_EQ(Query(untouched[i]).sa_handler, before[i]) << untouched[i];
}

TEST(Daemon, SignalSetsTheSharedStopFlagAndIsLoggedLater)
{
    testutil::TempDir dir;
    std::string log = dir / "service.log";
    CLog::setFileName(log.c_str());
    TestDaemon first("first"), second("second");
    first.installSignalHandlers();
    first.logReceivedSignals();  // whatever an earlier test left

    errno = ENOTTY;
    ASSERT_EQ(raise(SIGTERM), 0);
    EXPECT_EQ(errno, ENOTTY);
    // The handler itself writes nothing: the log may be busy.
    EXPECT_EQ(testutil::CountLinesContaining(log, "Signal received"), 0);

    EXPECT_TRUE(first.serviceStopped());
    EXPECT_EQ(testutil::CountLinesContaining(log, "] Signal received: 15"), 1);
    EXPECT_TRUE(second.serviceStopped());
    first.logReceivedSignals();
    EXPECT_EQ(testutil::CountLinesContaining(log, "Signal received"), 1);
}

// Signals wait, blocked, until the service thread reads them: each one read
// is logged; of one kind pending at the same time the kernel keeps one.
TEST(Daemon, EverySignalReadIsLoggedOnce)
{
    testutil::TempDir dir;
    std::string log = dir / "service.log";
    CLog::setFileName(log.c_str());
    TestDaemon daemon("burst");
    daemon.installSignalHandlers();
    daemon.logReceivedSignals();

    for (int i = 0; i < 50; ++i) {
        raise(SIGINT);
        daemon.logReceivedSignals();
    }
    EXPECT_EQ(testutil::CountLinesContaining(log, "] Signal received: 2"), 50);
    raise(SIGPWR);
    raise(SIGTERM);
    raise(SIGPWR);
    EXPECT_TRUE(daemon.serviceStopped());
    EXPECT_EQ(testutil::CountLinesContaining(log, "] Signal received: 30"), 1);
    EXPECT_EQ(testutil::CountLinesContaining(log, "] Signal received: 15"), 1);
    EXPECT_EQ(testutil::ReadLines(log).size(), 52u);
}

}  // namespace

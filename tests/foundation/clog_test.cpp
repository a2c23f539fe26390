// The process log, CLogger, CatchWIException and CKXThread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>

#include "baselib/kx_time.h"
#include "common/test_util.h"
#include "foundation/KXThread.h"
#include "foundation/Log.h"

namespace {

// Constructed during static initialisation of this unit, which may run
// before that of the log's unit: the log must already be there.
struct LogsDuringStaticInit {
    bool logReady;
    LogsDuringStaticInit() : logReady(CLog::_pKXLog != nullptr) {}
} gEarly;

TEST(CLog, ExistsBeforeOtherStaticInitialisers)
{
    EXPECT_TRUE(gEarly.logReady);
}

class CLogTest : public ::testing::Test {
protected:
    void SetUp() override { CLog::setFileName(path.c_str()); }
    void TearDown() override { CLog::setFileHandle(KXFileStderr); }

    // The messages of the log's lines, without time, host and pid.
    std::vector<std::string> Messages() { return testutil::LogMessages(path); }

    testutil::TempDir dir;
    std::string path = dir / "Service.log";
};

TEST_F(CLogTest, LoggerWritesOneLineWhenDestroyed)
{
    {
        CLogger() << "value " << 42 << ", flag " << true;
        CLogger logger;
        logger << "second";
        EXPECT_EQ(Messages().size(), 1u);
    }
    auto messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "value 42, flag 1");
    EXPECT_EQ(messages[1], "second");
}

TEST_F(CLogTest, CatchWIExceptionLogsAndReturnsTheStatus)
{
    EXPECT_EQ(CatchWIException("work", [] {}), ERROR_NONE);
    EXPECT_EQ(CatchWIException("wi", [] { throw CWIException(40002, "key %s", "k"); }), 40002);
    EXPECT_EQ(CatchWIException("std", [] { throw std::runtime_error("broken"); }), 1);
    EXPECT_EQ(CatchWIException(nullptr, [] { throw std::logic_error("logic"); }), 1);
    EXPECT_EQ(CatchWIException("any", [] { throw 5; }), 1);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(CatchWIException("limited",
                                   [] { throw CWIExceptionLimited(30002, "K", "T", "again"); }),
                  30002);
    EXPECT_EQ(CatchWIException("limited",
                               [] { throw CWIExceptionLimited(30003, "K2", "T2", "other"); }),
              30003);

    std::vector<std::string> expected = {
        "wi(): key k (status=40002)",
        "std(): broken",
        "CatchWIExcpetion(): logic",
        "any(): generic exception caught",
        "limited(): again (status=30002)",
        "T - repeated 3 times",
        "limited(): other (status=30003)",
    };
    EXPECT_EQ(Messages(), expected);
}

TEST_F(CLogTest, SettersReportFailures)
{
    try {
        CLog::setFileName(nullptr);
        FAIL() << "no exception";
    } catch (CWIException& e) {
        EXPECT_EQ(e.getStatus(), ERROR_FILE);
        EXPECT_STREQ(e.what(), "Can't set log file to '' (status=50000)");
    }
    try {
        CLog::setFileHandle(nullptr);
        FAIL() << "no exception";
    } catch (KXStatus status) {
        EXPECT_EQ(status, ERROR_FILE);
    }
    KXLogWrite(CLog::_pKXLog, "still logging");
    auto messages = Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "still logging");
}

struct ThreadState {
    std::atomic<bool> started{false};
    std::atomic<bool> completed{false};
    std::atomic<bool> ended{false};
};

struct EndMarker {
    ThreadState* state;
    ~EndMarker() { state->ended = true; }
};

void UntilStopped(int* stop, int*, void* data)
{
    auto* state = static_cast<ThreadState*>(data);
    EndMarker marker{state};
    state->started = true;
    while (!__atomic_load_n(stop, __ATOMIC_ACQUIRE))
        SleepMilliseconds(5);
    state->completed = true;
}

void NeverStops(int*, int*, void* data)
{
    auto* state = static_cast<ThreadState*>(data);
    EndMarker marker{state};
    state->started = true;
    for (;;)
        SleepMilliseconds(5);
}

TEST(CKXThread, DestructorStopsOrCancelsAfterTheTimeout)
{
    ThreadState polite;
    {
        CKXThread thread(UntilStopped, &polite);
        EXPECT_EQ(thread.getTimeout(), 10000);
        EXPECT_NE(thread.getHandle(), nullptr);
        ASSERT_TRUE(testutil::WaitUntil([&] { return polite.started.load(); }, 2000));
    }
    EXPECT_TRUE(polite.completed);

    ThreadState stubborn;
    auto t0 = std::chrono::steady_clock::now();
    {
        CKXThread thread(NeverStops, &stubborn);
        thread.setTimeout(150);
        ASSERT_TRUE(testutil::WaitUntil([&] { return stubborn.started.load(); }, 2000));
        t0 = std::chrono::steady_clock::now();
    }
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::milliseconds(1000));
    EXPECT_TRUE(testutil::WaitUntil([&] { return stubborn.ended.load(); }, 2000));
    EXPECT_FALSE(stubborn.completed);
}

void SleepInsideCatch(int*, int*, void* data)
{
    auto* state = static_cast<ThreadState*>(data);
    EndMarker marker{state};
    CatchWIException("sleeper", [state] {
        state->started = true;
        for (;;)
            SleepMilliseconds(5);
    });
    state->completed = true;
}

TEST(CKXThread, CancellationPassesThroughCatchWIException)
{
    ThreadState state;
    {
        CKXThread thread(SleepInsideCatch, &state);
        thread.setTimeout(0);
        ASSERT_TRUE(testutil::WaitUntil([&] { return state.started.load(); }, 2000));
    }
    // Had the catch-all swallowed the unwind, the process would have aborted.
    EXPECT_TRUE(testutil::WaitUntil([&] { return state.ended.load(); }, 2000));
    EXPECT_FALSE(state.completed);
}

TEST(CKXThread, ConstructorThrowsWhenTheThreadCannotStart)
{
    try {
        CKXThread thread(nullptr, nullptr);
        FAIL() << "no exception";
    } catch (CWIException& e) {
        EXPECT_EQ(e.getStatus(), ERROR_PARAMETER);
        EXPECT_STREQ(e.what(), "CKXThread::CKXThread(): KXThreadNew() failed (status=5)");
    }
}

}  // namespace

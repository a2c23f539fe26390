// The service's own log and output files: the log's mode does not depend on
// who starts the service, and nothing that is not a regular file at one of
// their paths (a FIFO nobody reads) can block the start or the supervision.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

const char kNotRegular[] = " (refused: it is not a regular file)";

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST(OutputFiles, LogIsCreated0660WhateverTheUmaskOfTheStart)
{
    Installation inst(Installation::Use::Binary);
    for (mode_t mask : {mode_t(077), mode_t(022)}) {
        unlink(inst.log().c_str());
        mode_t old = umask(mask);
        RunResult r = inst.Ctl({"-start"});
        umask(old);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        struct stat st;
        ASSERT_EQ(stat(inst.log().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0660u) << "umask " << mask;
        EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
        EXPECT_TRUE(testutil::WaitUntil([&] { return inst.Servers().empty(); }, 5000));
    }
}

TEST(OutputFiles, FifosAtOutputPathsAreRefusedWithoutBlocking)
{
    Installation inst(Installation::Use::Binary);

    // Service.out: the start fails at once and says why.
    std::string out = inst.path("log/Service.out");
    ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
    RunResult r = inst.Ctl({"-start"}, {}, 20000);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, "cannot open " + out + kNotRegular)) << r.err;
    EXPECT_TRUE(inst.copy().Slots().empty());
    unlink(out.c_str());

    // A server's output file: the server runs all the same, its output goes
    // to Service.out, and the log says why.
    std::string serverLog =
        inst.path("log/AppServer_127.0.0.1_" + std::to_string(inst.port(0)) + ".log");
    ASSERT_EQ(mkfifo(serverLog.c_str(), 0600), 0);
    r = inst.Ctl({"-start"}, {}, 20000);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(inst.WaitForServers()) << testutil::ReadFile(inst.log());
    EXPECT_EQ(inst.CountLines("cannot open output file " + serverLog), 1);
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
    ASSERT_TRUE(testutil::WaitUntil([&] { return inst.Servers().empty(); }, 5000));
    unlink(serverLog.c_str());

    // Service.log: -start refuses it...
    unlink(inst.log().c_str());
    ASSERT_EQ(mkfifo(inst.log().c_str(), 0600), 0);
    r = inst.Ctl({"-start"}, {}, 20000);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, "Can't write log file '" + inst.log() + "'" + kNotRegular))
        << r.err;
    EXPECT_TRUE(inst.Servers().empty());

    // ... and -console writes its lines to standard error instead, keeps
    // supervising and stops on SIGTERM.
    pid_t console = inst.StartConsole();
    ASSERT_TRUE(inst.WaitForServers());
    pid_t server = inst.Servers().front();
    kill(server, SIGKILL);
    EXPECT_TRUE(testutil::WaitUntil(
        [&] {
            std::vector<pid_t> now = inst.Servers();
            return now.size() == 2 && std::find(now.begin(), now.end(), server) == now.end();
        },
        10000));
    kill(console, SIGTERM);
    int status = testutil::ServiceCopy::WaitForExit(console, 20000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string err = testutil::ReadFile(inst.path("console.err"));
    EXPECT_TRUE(Contains(err, "KXLogWrite(): error opening file " + inst.log() + kNotRegular))
        << err;
    EXPECT_TRUE(Contains(err, "TARVEL service stops")) << err;
}

}  // namespace

// A stop signal in the middle of a reload that removes a server: every
// server, removed or kept, goes through the one stop sequence, no signal
// reaches a process that has already ended, and nothing is left running.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <future>
#include <sstream>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

std::string Ports(const std::vector<unsigned short>& ports)
{
    std::string text;
    for (unsigned short port : ports)
        text += (text.empty() ? "" : ",") + std::to_string(port);
    return text;
}

// Lines of `file` that contain `text`.
std::vector<std::string> LinesWith(const std::string& file, const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(testutil::ReadFile(file));
    for (std::string line; std::getline(in, line);)
        if (line.find(text) != std::string::npos)
            lines.push_back(line);
    return lines;
}

TEST(StopRace, SigtermDuringAReloadThatRemovesAServerStopsEveryServerOnce)
{
    Installation inst(Installation::Use::Binary);
    // quick ends 2 s after the request, slow 6 s after it (and is the one the
    // reload removes), stubborn ignores the request and SIGTERM.
    unsigned short quick = testutil::FreePort(), slow = testutil::FreePort(),
                   stubborn = testutil::FreePort();
    inst.writeServerConfig({"<appserver host=\"127.0.0.1\" ports=\"" +
                            Ports({quick, slow, stubborn}) + "\"/>"});
    std::string notes = inst.path("appsrv.notes");
    pid_t console = inst.StartConsole(
        {"APPSRV_LOG=" + notes, "APPSRV_SHUTDOWN_DELAY_" + std::to_string(quick) + "=2",
         "APPSRV_SHUTDOWN_DELAY_" + std::to_string(slow) + "=6",
         "APPSRV_IGNORE_SHUTDOWN_" + std::to_string(stubborn) + "=1",
         "APPSRV_IGNORE_TERM_" + std::to_string(stubborn) + "=1"});
    ASSERT_TRUE(testutil::WaitUntil(
        [&] { return LinesWith(notes, " listening").size() == 3; }, 15000))
        << testutil::ReadFile(inst.log());
    std::vector<pid_t> servers = inst.Servers();
    ASSERT_EQ(servers.size(), 3u);

    inst.writeServerConfig({"<appserver host=\"127.0.0.1\" ports=\"" + Ports({quick, stubborn}) +
                            "\"/>"});
    auto began = std::chrono::steady_clock::now();
    auto reload = std::async(std::launch::async, [&] { return inst.Ctl({"-reload"}); });
    ASSERT_TRUE(testutil::WaitUntil(
        [&] { return LinesWith(notes, std::to_string(slow) + " shutdown request").size() == 1; },
        5000));
    while (testutil::ElapsedMs(began) < 500)
        usleep(10 * 1000);
    ASSERT_EQ(kill(console, SIGTERM), 0);

    RunResult r = reload.get();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the service is stopping"), std::string::npos) << r.err;
    int status = testutil::ServiceCopy::WaitForExit(console, 60000);
    long took = testutil::ElapsedMs(began);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << testutil::ReadFile(inst.log());
    EXPECT_EQ(inst.CountLines("TARVEL service stops"), 1);
    EXPECT_GE(took, 34000);  // the stubborn one: 30 s, SIGTERM, 5 s, SIGKILL
    EXPECT_LT(took, 50000);

    // The two that end on the request did so after their delay, each asked once:
    // a signal before would have ended them without the "exiting" note.
    for (unsigned short port : {quick, slow}) {
        std::string tag = "127.0.0.1:" + std::to_string(port) + " ";
        EXPECT_EQ(LinesWith(notes, tag + "shutdown request received, exiting").size(), 1u) << port;
        EXPECT_EQ(LinesWith(notes, tag + "exiting").size(), 1u) << testutil::ReadFile(notes);
    }
    EXPECT_EQ(inst.CountLines("Failed to shut down application server at [127.0.0.1]:" +
                              std::to_string(stubborn) + " after 30 sec."),
              1);
    EXPECT_EQ(inst.CountLines("Failed to shut down"), 1);
    // Only the stubborn server was killed, by its own pid.
    std::vector<std::string> kills = LinesWith(inst.log(), "killed \"");
    ASSERT_EQ(kills.size(), 1u) << testutil::ReadFile(inst.log());
    EXPECT_NE(kills[0].find("-port " + std::to_string(stubborn)), std::string::npos) << kills[0];
    // The progress lines name only servers of the table, never a stale entry.
    std::vector<std::string> waiting = LinesWith(inst.log(), "gentleStopServers(): waiting for");
    EXPECT_GE(waiting.size(), 5u);
    for (const std::string& line : waiting) {
        std::string names = line.substr(line.find("): ", line.find("waiting for")) + 3);
        std::istringstream in(names);
        for (std::string name; std::getline(in, name, ',');) {
            name.erase(0, name.find_first_not_of(' '));
            EXPECT_TRUE(name == "127.0.0.1:" + std::to_string(slow) ||
                        name == "127.0.0.1:" + std::to_string(stubborn))
                << line;
        }
    }
    for (pid_t pid : servers)
        EXPECT_FALSE(testutil::ProcessRunning(pid)) << pid;
    EXPECT_TRUE(inst.Servers().empty());
}

}  // namespace

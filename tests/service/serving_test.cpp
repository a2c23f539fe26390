// Serving, not just running: callers wait until the servers accept
// connections, a start that fails says so, a reload keeps a pool serving,
// and tarvelsvc.conf is checked at start and on reload.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

std::string Endpoint(unsigned short port)
{
    return "127.0.0.1:" + std::to_string(port);
}

bool Accepts(unsigned short port)
{
    return testutil::PortOpen(port);
}

void WriteSettings(const Installation& inst, const std::string& text)
{
    testutil::WriteFile(inst.path("config/tarvelsvc.conf"), text);
}

// -start of a server that needs a second to listen returns once it serves;
// -restartserver waits for it again; the table tells how long it took.
TEST(Serving, StartAndRestartServerWaitUntilTheServersServe)
{
    Installation inst(Installation::Use::Binary);
    std::string slow = "APPSRV_LISTEN_DELAY_" + std::to_string(inst.port(1)) + "=1";
    auto began = std::chrono::steady_clock::now();
    RunResult r = inst.Ctl({"-start"}, {slow});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err << testutil::ReadFile(inst.log());
    EXPECT_GE(testutil::ElapsedMs(began), 1000);
    EXPECT_EQ(r.out, "2 of 2 servers serving\n");
    EXPECT_TRUE(Accepts(inst.port(0)) && Accepts(inst.port(1)));
    EXPECT_EQ(inst.CountLines("Server [127.0.0.1]:" + std::to_string(inst.port(1)) +
                              " serving after 1."),
              1)
        << testutil::ReadFile(inst.log());

    began = std::chrono::steady_clock::now();
    r = inst.Ctl({"-restartserver", Endpoint(inst.port(1))});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_GE(testutil::ElapsedMs(began), 1000);
    EXPECT_NE(r.out.find(Endpoint(inst.port(1)) + " started, pid "), std::string::npos) << r.out;
    EXPECT_TRUE(Accepts(inst.port(1)));
    r = inst.Ctl({"-servers", "-json"});
    EXPECT_NE(r.out.find("\"ready\": true, \"ready_s\": 1."), std::string::npos) << r.out;
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

// A missing server script fails every server at once: -start says so,
// exits 1, and the daemon runs on and keeps trying.
TEST(Serving, StartWithAMissingScriptExitsOneWithTheSummary)
{
    Installation inst(Installation::Use::Binary);
    unlink(inst.script().c_str());
    RunResult r = inst.Ctl({"-start"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out.rfind("0 of 2 servers serving; " + Endpoint(inst.port(0)) + " failed: exit ", 0),
              0u)
        << r.out << r.err;
    EXPECT_NE(r.out.find("; the service keeps trying\n"), std::string::npos) << r.out;
    EXPECT_EQ(inst.Ctl({"-status"}).exitCode, 0);
    EXPECT_EQ(inst.CountLines("Start: 0 of 2 servers serving"), 1);
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

// A reload that changes every command line of a three-server pool whose
// servers need a moment to listen: at every moment one port accepts.
TEST(Serving, ReloadKeepsThePoolServing)
{
    Installation inst(Installation::Use::Binary);
    unsigned short ports[3] = {inst.port(0), inst.port(1), testutil::FreePort()};
    inst.writeServerConfig({"<appserver host=\"127.0.0.1\" ports=\"" + std::to_string(ports[0]) +
                            "," + std::to_string(ports[1]) + "," + std::to_string(ports[2]) +
                            "\"/>"});
    RunResult r = inst.Ctl({"-start"}, {"APPSRV_LISTEN_DELAY=0.5"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;

    std::atomic<bool> done{false};
    auto watcher = std::async(std::launch::async, [&] {
        long samples = 0, gaps = 0;
        while (!done) {
            bool any = false;
            for (unsigned short port : ports)
                any = any || Accepts(port);
            ++samples;
            gaps += any ? 0 : 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return std::make_pair(samples, gaps);
    });
    inst.writeWebInterfaceConf("[GLOBAL]\nOPTIONS=-w -Ilib\n");
    r = inst.Ctl({"-reload"});
    done = true;
    auto [samples, gaps] = watcher.get();
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("0 added, 0 removed, 3 changed, 0 unchanged"), std::string::npos) << r.out;
    for (unsigned short port : ports)
        EXPECT_NE(r.out.find("restarted " + Endpoint(port) + "\n"), std::string::npos) << r.out;
    EXPECT_GT(samples, 50);
    EXPECT_EQ(gaps, 0) << samples << " samples";
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

// tarvelsvc.conf is refused with file, line and reason: at start nothing
// starts; on reload nothing changes.
TEST(Serving, BadSettingsAreRefusedAtStartAndOnReload)
{
    Installation inst(Installation::Use::Binary);
    std::string file = inst.path("config/tarvelsvc.conf");
    WriteSettings(inst, "[SERVICE]\nSTART_TIMEOUT=0\n");
    RunResult r = inst.Ctl({"-start"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(file + ":2: START_TIMEOUT"), std::string::npos) << r.err;
    EXPECT_TRUE(inst.Servers().empty());

    WriteSettings(inst, "[SERVICE]\nSTART_TIMEOUT=20\n");
    ASSERT_EQ(inst.Ctl({"-start"}).exitCode, 0);
    std::vector<pid_t> before = inst.Servers();
    WriteSettings(inst, "[SERVICE]\nREADINESS=maybe\n");
    r = inst.Ctl({"-reload"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(file + ":2: READINESS"), std::string::npos) << r.err;
    EXPECT_EQ(inst.Servers(), before);
    EXPECT_EQ(inst.CountLines("Reload failed, nothing changed: "), 1);
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

}  // namespace

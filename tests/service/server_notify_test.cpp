// Servers that tell their readiness on the service's notification socket:
// READY=1 makes a server serving without any connect, and what it says of
// itself shows in -servers.
#include <gtest/gtest.h>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

// The server says READY=1 and then takes 30 s to listen: only the message
// can make it serving, and the waiting client returns while its port is
// still closed. Its STATUS= text shows in both forms of -servers.
TEST(ServerNotify, ReadyOnTheSocketServesBeforeThePortListens)
{
    Installation inst(Installation::Use::Binary);
    testutil::WriteFile(inst.path("config/tarvelsvc.conf"), "[SERVICE]\nREADINESS=notify\n");
    unsigned short late = inst.port(1);
    std::string endpoint = "127.0.0.1:" + std::to_string(late);
    std::vector<std::string> env{"APPSRV_NOTIFY=early", "APPSRV_NOTIFY_STATUS=warming up",
                                 "APPSRV_LISTEN_DELAY_" + std::to_string(late) + "=30"};
    RunResult r = inst.Ctl({"-start"}, env);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err << testutil::ReadFile(inst.log());
    EXPECT_EQ(r.out, "2 of 2 servers serving\n");
    EXPECT_FALSE(testutil::PortOpen(late));
    EXPECT_EQ(inst.CountLines("Server [" + std::string("127.0.0.1]:") + std::to_string(late) +
                              " serving after 0."),
              1)
        << testutil::ReadFile(inst.log());

    r = inst.Ctl({"-restartserver", endpoint});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(endpoint + " started, pid "), std::string::npos) << r.out;
    EXPECT_FALSE(testutil::PortOpen(late));

    r = inst.Ctl({"-servers"});
    EXPECT_NE(r.out.find("  status: \"warming up\"\n"), std::string::npos) << r.out;
    r = inst.Ctl({"-servers", "-json"});
    EXPECT_NE(r.out.find("\"stopping_notified\": false, \"status_text\": \"warming up\"}"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

}  // namespace

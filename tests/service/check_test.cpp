// -check through the real binary, as a monitoring system runs it: every exit
// status from a real service, and from a stand-in on the control socket the
// pools and the replies that cannot be judged. Each line must parse by the
// monitoring-plugins rules, and -metrics without a service says so.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <thread>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

// "LABEL STATUS - text[ | perfdata]": one line, the status word matching
// the exit code, no '|' in the text, each perfdata item
// 'label'=value[UOM];[warn];[crit];[min];[max].
void ExpectPluginLine(const RunResult& r, int status)
{
    static const char* const words[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    EXPECT_EQ(r.exitCode, status) << r.out << r.err;
    const std::string item = "[^ =']+=-?[0-9.]+(us|ms|s|%|B|KB|MB|TB|c)?(;-?[0-9.]*){0,4}";
    std::regex line("TARVEL " + std::string(words[status]) + " - [^|\n]+( \\| " + item + "( " +
                    item + ")*)?\n");
    EXPECT_TRUE(std::regex_match(r.out, line)) << r.out;
}

TEST(Check, EachVerdictOfARealService)
{
    Installation inst(Installation::Use::Binary);
    const std::string a = std::to_string(inst.port(0)), b = std::to_string(inst.port(1)),
                      failing = std::to_string(testutil::FreePort());
    inst.writeServerConfig({"<appserver host=\"127.0.0.1\" ports=\"" + a + "," + b + "," +
                            failing + "\"/>"});

    RunResult r = inst.Ctl({"-check"});
    ExpectPluginLine(r, 2);
    EXPECT_EQ(r.out, "TARVEL CRITICAL - No services running.\n");
    // The textfile written from this holds no server of an earlier run.
    r = inst.Ctl({"-metrics"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "# HELP tarvel_service_up 1 when the service answered, 0 when none runs.\n"
                     "# TYPE tarvel_service_up gauge\ntarvel_service_up 0\n");

    EXPECT_EQ(inst.Ctl({"-start"}, {"APPSRV_EXIT_CODE_" + failing + "=3"}).exitCode, 1);
    r = inst.Ctl({"-check"});
    ExpectPluginLine(r, 1);
    EXPECT_EQ(r.out.rfind("TARVEL WARNING - 2 of 3 servers serving; 127.0.0.1:" + failing + " ", 0),
              0u) << r.out;
    EXPECT_NE(inst.Ctl({"-metrics"}).out.find("\ntarvel_service_up 1\n"), std::string::npos);

    // Held by the operator: named, no fault.
    ASSERT_EQ(inst.Ctl({"-stopserver", "127.0.0.1:" + failing}).exitCode, 0);
    r = inst.Ctl({"-check"});
    ExpectPluginLine(r, 0);
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("TARVEL OK - 2 of 3 servers serving; stopped by operator: 127.0.0.1:" +
                          failing + " \\| serving=2;;;0;3 throttled=0;;;0;3 not_answering=0;;;0;3 "
                          "stopped=1;;;0;3 restarts=[0-9]+c\n")))
        << r.out;
    // -servers lists; it does not judge.
    EXPECT_EQ(inst.Ctl({"-servers"}).exitCode, 0);

    // Every server of the host held: its part of the pool serves nothing.
    // The reply names the installation's pool, "p".
    ASSERT_EQ(inst.Ctl({"-stopserver", "127.0.0.1:" + a}).exitCode, 0);
    ASSERT_EQ(inst.Ctl({"-stopserver", "127.0.0.1:" + b}).exitCode, 0);
    r = inst.Ctl({"-check"});
    ExpectPluginLine(r, 2);
    EXPECT_EQ(r.out.rfind("TARVEL CRITICAL - pool p does not serve on this host; 0 of 3 servers serving; "
                          "stopped by operator: ",
                          0),
              0u) << r.out;
    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
}

// Answers each connection to the control socket with `reply`, as long as
// it lives.
class StandIn {
public:
    StandIn(const std::string& path, const std::string& reply) : mReply(reply)
    {
        mFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(bind(mFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
        EXPECT_EQ(listen(mFd, 4), 0);
        mThread = std::thread([this] { serve(); });
    }
    ~StandIn()
    {
        shutdown(mFd, SHUT_RDWR);
        mThread.join();
        close(mFd);
    }

private:
    void serve()
    {
        for (int client; (client = accept(mFd, nullptr, nullptr)) >= 0; close(client)) {
            char request[256];
            if (read(client, request, sizeof request) > 0 &&
                write(client, mReply.data(), mReply.size()) < 0)
                ADD_FAILURE() << "reply not sent";
        }
    }

    std::string mReply;
    int mFd = -1;
    std::thread mThread;
};

std::string Row(const std::string& port, const std::string& state, bool ready,
                const std::string& pool)
{
    return "{\"address\": \"10.0.0.1\", \"port\": " + port + ", \"pid\": 0, \"state\": \"" + state +
           "\", \"restarts\": 2, \"ready\": " + (ready ? "true" : "false") + ", \"pool\": \"" +
           pool + "\"}";
}

TEST(Check, PoolsAndRepliesThatCannotBeJudged)
{
    Installation inst(Installation::Use::Binary);
    testutil::MakeDirs(inst.path("run"));
    const std::string socketPath = inst.path("run/tarvelsvc.sock");
    struct Case {
        std::string reply;
        int status;
        std::string start;
    } cases[] = {
        {"[\n  " + Row("8001", "serving", true, "web") + ",\n  " +
             Row("8002", "throttled", false, "bat|ch") + ",\n  " +
             Row("8003", "stopped by operator", false, "bat|ch") + "\n]\nOK\n",
         2, "TARVEL CRITICAL - pool bat?ch does not serve on this host; 1 of 3 servers serving; "
            "10.0.0.1:8002 throttled; stopped by operator: 10.0.0.1:8003 | serving=1;;;0;3 "
            "throttled=1;;;0;3 not_answering=0;;;0;3 stopped=1;;;0;3 restarts=6c\n"},
        {"[\n  " + Row("8001", "not answering", true, "web") + "\n]\nOK\n", 1,
         "TARVEL WARNING - 1 of 1 servers serving; 10.0.0.1:8001 not answering | "},
        {"[\n  {\"address\": \"10.0.0.1\", \"port\": 99999}\n]\nOK\n", 3,
         "TARVEL UNKNOWN - cannot read the service's list of servers: server 1 lacks"},
        {"[\n  {\"address\": \"10.0.0.1\"\nOK\n", 3,
         "TARVEL UNKNOWN - cannot read the service's list of servers: "},
        {"ERROR permission denied\n", 3, "TARVEL UNKNOWN - permission denied\n"},
    };
    for (const Case& c : cases) {
        StandIn standIn(socketPath, c.reply);
        RunResult r = inst.Ctl({"-check"});
        ExpectPluginLine(r, c.status);
        EXPECT_EQ(r.out.rfind(c.start, 0), 0u) << r.out;
        unlink(socketPath.c_str());
    }
    // A check that cannot tell is UNKNOWN, also for its own command line.
    ExpectPluginLine(inst.Ctl({"-check", "-servers"}), 3);
    ExpectPluginLine(inst.Ctl({"-check"}, {"TARVEL"}), 3);
}

TEST(Check, UsageNeedsNoEnvironment)
{
    Installation inst(Installation::Use::Binary);
    RunResult r = inst.Ctl({}, {"TARVEL", "TARVEL_LOG", "TARVEL_CONFIG"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, inst.Ctl({}).out);
    EXPECT_NE(r.out.find("\n                          -check: "), std::string::npos) << r.out;
}

}  // namespace

// The program's own options and usage, and failures before the service runs,
// through the real binary.
#include <gtest/gtest.h>

#include "common/installation.h"

namespace {

using testutil::Installation;

std::string Usage(const std::string& exe)
{
    return "usage: " + exe +
           " [-n] [-d <level>] [-l <logfile>]\n\t-n -console : run in foreground\n\t-d -debug   : "
           "enter debug mode\n\t-debuglog   : debug log file prefix\n\t-l -log     : use alternate "
           "log file\n\t-i -iplist  : sets the IP address for lookup in WebInterface.conf\n";
}

TEST(Options, BadOptionsPrintMessageAndUsageAndExitOne)
{
    Installation inst(Installation::Use::Binary);
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-d", "abc"}, "stoi"},
        {{"-d", "-l", "/tmp/x"}, "stoi"},  // -d has no value: the next token is an option
        {{"-debug", "99999999999"}, "stoi"},
        {{"-status", "-l"}, "parseCommandLine(): Used '-log' option without passing a file name"},
        {{"-debuglog"}, "parseCommandLine(): Used '-debuglog' option without passing a file name"},
        {{"-i"}, "parseCommandLine(): Used '-iplist' option without passig an ip address list"},
    };
    for (const auto& c : cases) {
        auto r = inst.Ctl(c.args);
        EXPECT_EQ(r.exitCode, 1) << c.message;
        EXPECT_EQ(r.err, c.message + "\n\n" + Usage(inst.exe()));
        EXPECT_EQ(r.out, "");
    }
}

std::string ControllerUsage(const std::string& exe)
{
    return "Usage: " + exe +
           " <switch> [service] [service specific options]\n\n"
           "                        -install: Install registered services\n"
           "                         -remove: Uninstall registered services\n"
           "      -start <service> [options]: Run <service>. If <service> is omitted, the "
           "first registered service is started\n"
           "                 -stop <service>: Stop <service>\n"
           "    -restart <service> [options]: Restart running <service>\n"
           "    -console <service> [options]: Run <service> in foreground\n"
           "                         -status: Show service status\n"
           " -runservice <service> [options]: Start <service> as a daemon, as -start does\n"
           "                -servers [-json]: Show the servers of the running service (-json: "
           "as JSON)\n"
           "    -stopserver <address>:<port>: Stop one server; it stays down\n"
           "   -startserver <address>:<port>: Start a stopped server again\n"
           " -restartserver <address>:<port>: Stop one server and start it again\n"
           "                         -reload: Read the configuration again and apply the "
           "differences\n"
           "                        -metrics: Print the metrics of the running service "
           "(Prometheus text format)\n"
           "                          -check: Judge the servers as a monitoring plugin: one "
           "line, exit 0 OK to 3 UNKNOWN\n"
           "                        -version: Show the version of this program\n"
           "\nRegistered services:\nTARVEL\n";
}

TEST(Options, NoSwitchPrintsControllerUsage)
{
    Installation inst(Installation::Use::Binary);
    auto r = inst.Ctl({"-d", "2x"});  // a level with trailing characters is accepted
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, ControllerUsage(inst.exe()));
}

TEST(Options, UnknownSwitchesFailAndVersionNeedsNoInstallation)
{
    Installation inst(Installation::Use::Binary);
    for (const char* word : {"-stat", "--version", "-n"}) {
        auto r = inst.Ctl({word, "-d", "1"});
        EXPECT_EQ(r.exitCode, 1) << word;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "unknown switch: " + std::string(word) + "\n\n" +
                             ControllerUsage(inst.exe()));
    }
    for (const char* sw : {"-install", "-remove"}) {
        auto r = inst.Ctl({sw});
        EXPECT_EQ(r.exitCode, 1) << sw;
        EXPECT_EQ(r.err, "Function not implemented\n");
    }
    auto r = inst.Ctl({"-version"}, {"TARVEL", "TARVEL_LOG"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(::testing::internal::RE::FullMatch(r.out, "tarvelsvc [0-9]+\\.[0-9]+\\.[0-9]+\n"))
        << r.out;
    EXPECT_EQ(r.err, "");
}

TEST(Options, MissingEnvironmentIsAFailure)
{
    Installation inst(Installation::Use::Binary);
    // Without TARVEL_LOG there is no log file yet: the line goes to standard
    // error, followed by the message itself.
    auto r = inst.Ctl({"-status"}, {"TARVEL_LOG"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("main(): General exception: Environment variable 'TARVEL_LOG' not found"),
              std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\nEnvironment variable 'TARVEL_LOG' not found (status=1)\n"), std::string::npos);

    r = inst.Ctl({"-status"}, {"TARVEL"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Environment variable 'TARVEL' not found (status=1)\n");
    EXPECT_EQ(inst.CountLines("main(): General exception: Environment variable 'TARVEL' not found"),
              1);
}

TEST(Options, UnresolvableAddressAndUnservedAddressFail)
{
    Installation inst(Installation::Use::Binary);
    auto r = inst.Ctl({"-console", "-i", "127.0.0.1,nosuchhost.invalid"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.rfind("nosuchhost.invalid: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("Success"), std::string::npos) << r.err;  // the resolver's reason
    EXPECT_EQ(inst.CountLines("main(): General exception: nosuchhost.invalid"), 1);

    r = inst.Ctl({"-console", "-i", "127.0.0.2 127.0.0.3"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "CAppServerManagerImpl::buildTables(): no service configured for IP's: "
                     "127.0.0.2 127.0.0.3 (status=1)\n");
    EXPECT_EQ(inst.Servers().size(), 0u);
}

TEST(Options, LogOptionRedirectsTheLog)
{
    Installation inst(Installation::Use::Binary);
    std::string other = inst.dir() + "/other.log";
    auto r = inst.Ctl({"-console", "-l", other, "-i", "127.0.0.9"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(testutil::CountLinesContaining(other, "no service configured for IP: 127.0.0.9"), 1);
    EXPECT_EQ(inst.CountLines("no service configured"), 0);
}

}  // namespace

// A reload reads WebInterface.conf strictly through the real binary: a typo,
// an overlong line or a FIFO at the path fail the reload with the file, the
// line and the reason, and no server restarts; a start only logs the same.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

// The 1-based number of the line of text that is exactly `line`; 0 if none.
int LineNumberOf(const std::string& text, const std::string& line)
{
    std::istringstream in(text);
    int number = 0;
    for (std::string current; std::getline(in, current);) {
        ++number;
        if (current == line)
            return number;
    }
    return 0;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

class ReloadStrict : public ::testing::Test {
protected:
    // Runs -reload and expects it refused: exit 1, the reason on stderr
    // naming "<file>:<line>: ", nothing on stdout, the servers as they were.
    void ExpectRefused(const std::string& expected)
    {
        const std::vector<pid_t> before = inst.Servers();
        RunResult r = inst.Ctl({"-reload"}, {}, 20000);
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(inst.Servers(), before);
        EXPECT_TRUE(inst.WaitForLog("Reload failed, nothing changed: " + expected))
            << testutil::ReadFile(inst.log());
    }

    Installation inst{Installation::Use::Binary};
    std::string conf = inst.path("config/WebInterface.conf");
};

TEST_F(ReloadStrict, ProblemsOfWebInterfaceConfFailTheReloadAndChangeNothing)
{
    const std::string good = testutil::ReadFile(conf);
    const int header = LineNumberOf(good, "[GLOBAL]");
    ASSERT_GT(header, 0) << good;
    ASSERT_NE(good.find("OPTIONS=-w\n"), std::string::npos) << good;

    pid_t console = inst.StartConsole();
    ASSERT_TRUE(inst.WaitForServers()) << testutil::ReadFile(inst.log());
    const std::vector<pid_t> servers = inst.Servers();
    ASSERT_EQ(servers.size(), 2u);

    // The typo that used to restart every server without its OPTIONS.
    testutil::WriteFile(conf, Replaced(good, "[GLOBAL]\n", "[GLOBAL\n"));
    ExpectRefused(conf + ":" + std::to_string(header) + ": section header without ']': [GLOBAL");

    // A key that a start would log as unknown.
    testutil::WriteFile(conf, Replaced(good, "OPTIONS=-w\n", "OPTIONS=-w\nOPTIONZ=-e evil\n"));
    ExpectRefused(conf + ":" + std::to_string(header + 2) +
                  ": unknown key 'OPTIONZ' in section [GLOBAL]");

    // An overlong line never turns its tail into a key.
    testutil::WriteFile(conf, Replaced(good, "OPTIONS=-w\n",
                                       "COOKIES=" + std::string(8182, 'c') + "OPTIONS=-e evil\n"));
    ExpectRefused(conf + ":" + std::to_string(header + 1) + ": line longer than 8190 bytes");

    // A FIFO nobody writes neither blocks the reload nor the loop: a killed
    // server is started again at once.
    ASSERT_EQ(unlink(conf.c_str()), 0);
    ASSERT_EQ(mkfifo(conf.c_str(), 0644), 0);
    ExpectRefused("CIniFile::CIniFile(): KXIniFileNew() failed in file " + conf +
                  " (not a regular file)");
    kill(servers[0], SIGKILL);
    EXPECT_TRUE(testutil::WaitUntil(
        [&] { return inst.Servers().size() == 2 && inst.Servers() != servers; }, 15000))
        << testutil::ReadFile(inst.log());
    EXPECT_TRUE(inst.WaitForServers());

    // The file as it was reloads, and changes nothing.
    ASSERT_EQ(unlink(conf.c_str()), 0);
    testutil::WriteFile(conf, good);
    RunResult r = inst.Ctl({"-reload"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("0 added, 0 removed, 0 changed, 2 unchanged"), std::string::npos) << r.out;

    const int status = testutil::ServiceCopy::StopConsole(console);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(ReloadStrict, AStartLogsTheSameProblemsAndRuns)
{
    const std::string good = testutil::ReadFile(conf);
    testutil::WriteFile(conf, Replaced(good, "OPTIONS=-w\n", "OPTIONS=-w\nOPTIONZ=1\n"));
    pid_t console = inst.StartConsole();
    ASSERT_TRUE(inst.WaitForServers()) << testutil::ReadFile(inst.log());
    EXPECT_EQ(inst.CountLines("unknown key 'OPTIONZ' in section [GLOBAL]"), 1);
    const int status = testutil::ServiceCopy::StopConsole(console);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace

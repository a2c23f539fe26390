// The switches of the real binary as an operator types them: the usage
// lists every one of them, and a word that no switch takes is refused
// before anything is done.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

// The lines of the usage between its first empty line and the next one.
std::vector<std::string> SwitchLines(const std::string& usage)
{
    std::vector<std::string> lines;
    std::istringstream in(usage);
    std::string line;
    while (std::getline(in, line) && !line.empty()) {
    }
    while (std::getline(in, line) && !line.empty())
        lines.push_back(line);
    return lines;
}

TEST(CommandLine, UsageListsEverySwitchInOneFormat)
{
    Installation inst(Installation::Use::Binary);
    RunResult r = inst.Ctl({});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> lines = SwitchLines(r.out);
    const char* switches[] = {"-install",  "-remove",     "-start",        "-stop",
                              "-restart",  "-console",    "-status",       "-runservice",
                              "-servers",  "-stopserver", "-startserver",  "-restartserver",
                              "-reload",   "-metrics",    "-check",        "-version"};
    ASSERT_EQ(lines.size(), sizeof switches / sizeof switches[0]) << r.out;
    for (size_t i = 0; i < lines.size(); ++i) {
        // Right-aligned: the left part ends with ": " at column 34.
        ASSERT_GT(lines[i].size(), 34u) << lines[i];
        std::string left = lines[i].substr(0, 34);
        std::string name = left.substr(left.find_first_not_of(' '));
        EXPECT_EQ(name.substr(0, name.find_first_of(" :")), switches[i]) << lines[i];
        EXPECT_EQ(left.substr(32), ": ") << lines[i];
    }
    EXPECT_NE(r.out.find(" -servers [-json]: "), std::string::npos);
    EXPECT_NE(r.out.find(" -stopserver <address>:<port>: "), std::string::npos);
}

TEST(CommandLine, ExtraOrUnknownWordsAreRefusedBeforeAnythingIsDone)
{
    Installation inst(Installation::Use::Binary);
    std::string usage = inst.Ctl({}).out;
    ASSERT_EQ(usage.rfind("Usage: ", 0), 0u) << usage;
    struct Case {
        std::vector<std::string> args;
        std::string word;
    } cases[] = {
        {{"-servers", "-jsn"}, "-jsn"},
        {{"-servers", "-json", "x"}, "x"},
        {{"-servers", "-reload"}, "-reload"},
        {{"-json"}, "-json"},
        {{"-stopserver", "127.0.0.1:1", "x"}, "x"},
        {{"-restartserver", "127.0.0.1:1", "-json"}, "-json"},
        {{"-reload", "now"}, "now"},
        {{"-status", "x"}, "x"},
        {{"-start", "-stop"}, "-stop"},
        {{"-start", "TARVEL", "extra"}, "extra"},
        {{"-console", "-n", "-d", "1"}, "-n"},
        {{"-runservice", "TARVEL", "-foo"}, "-foo"},
        {{"-version", "x"}, "x"},
        {{"-stop", "-d", "1", "again"}, "again"},
    };
    for (const auto& c : cases) {
        RunResult r = inst.Ctl(c.args, {}, 20000);
        EXPECT_EQ(r.exitCode, 1) << c.word;
        EXPECT_EQ(r.out, "") << c.word;
        EXPECT_EQ(r.err, "unknown switch: " + c.word + "\n\n" + usage) << c.word;
    }
    // Nothing was started on the way.
    EXPECT_TRUE(inst.Servers().empty());
    EXPECT_TRUE(inst.copy().Slots().empty());

    // The program's own options go with every switch.
    RunResult r = inst.Ctl({"-servers", "-json", "-d", "1", "-l", inst.path("other.log")});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, "No services running.\n");
    r = inst.Ctl({"-version", "-d", "1"}, {"TARVEL", "TARVEL_LOG"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("tarvelsvc ", 0), 0u) << r.out;
    r = inst.Ctl({"-status", "-i", "127.0.0.1"});
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_EQ(r.out, "No services running.\n");
}

}  // namespace

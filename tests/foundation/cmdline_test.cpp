#include "foundation/CmdLine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {

CCmdLine FromArgs(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    return CCmdLine(static_cast<int>(argv.size()), argv.data(), "-");
}

// The whole table, read through the public interface.
std::map<std::string, std::string> Table(const CCmdLine& cmd)
{
    std::map<std::string, std::string> table;
    for (const auto& name : cmd.getExtraOptions()) {
        std::string value;
        EXPECT_TRUE(cmd.peekOption(name, value));
        table[name] = value;
    }
    return table;
}

using Map = std::map<std::string, std::string>;

TEST(CmdLine, OptionsValuesAndStrayValues)
{
    CCmdLine cmd = FromArgs({"prog", "-start", "-debug", "3", "x"});
    EXPECT_EQ(cmd.getProgramName(), "prog");
    EXPECT_EQ(Table(cmd), (Map{{"-start", ""}, {"-debug", "3"}, {"", "x"}}));
    EXPECT_EQ(cmd.getNumOptions(), 3);
}

TEST(CmdLine, NegativeNumberIsAnOption)
{
    EXPECT_EQ(Table(FromArgs({"p", "-d", "-1"})), (Map{{"-d", ""}, {"-1", ""}}));
}

TEST(CmdLine, OnlyTheLastStrayValueRemains)
{
    EXPECT_EQ(Table(FromArgs({"p", "-a", "1", "2", "3"})), (Map{{"-a", "1"}, {"", "3"}}));
    EXPECT_EQ(Table(FromArgs({"p", "lead"})), (Map{{"", "lead"}}));
}

TEST(CmdLine, RepeatedOptionKeepsLastOccurrence)
{
    EXPECT_EQ(Table(FromArgs({"p", "-log", "a", "-log", "b"})), (Map{{"-log", "b"}}));
    EXPECT_EQ(Table(FromArgs({"p", "-log", "a", "-log"})), (Map{{"-log", ""}}));
    EXPECT_EQ(Table(FromArgs({"p", "-log", "a", "-log", "-x"})), (Map{{"-log", ""}, {"-x", ""}}));
}

TEST(CmdLine, EmptyTokenIsAValue)
{
    EXPECT_EQ(Table(FromArgs({"p", "-a", "", "-b"})), (Map{{"-a", ""}, {"-b", ""}}));
    EXPECT_EQ(Table(FromArgs({"p", "-a", "v", ""})), (Map{{"-a", "v"}, {"", ""}}));
}

TEST(CmdLine, OnlyProgramName)
{
    CCmdLine cmd = FromArgs({"/usr/bin/prog"});
    EXPECT_EQ(cmd.getProgramName(), "/usr/bin/prog");
    EXPECT_EQ(cmd.getNumOptions(), 0);
    EXPECT_TRUE(cmd.getExtraOptions().empty());
}

TEST(CmdLine, SwitchCharIsASet)
{
    CCmdLine cmd("/a +b c", "/+");
    EXPECT_EQ(Table(cmd), (Map{{"/a", ""}, {"+b", "c"}}));
}

TEST(CmdLine, WholeStringSplitsAtWhiteSpaceWithoutQuoting)
{
    CCmdLine cmd("  -name \"two words\"\t-x\n 1 ", "-");
    EXPECT_EQ(cmd.getProgramName(), "");
    EXPECT_EQ(Table(cmd), (Map{{"-name", "\"two"}, {"", "words\""}, {"-x", "1"}}));
}

TEST(CmdLine, PeekAndPop)
{
    CCmdLine cmd = FromArgs({"p", "-a", "1", "-b"});
    std::string value = "unchanged";
    EXPECT_FALSE(cmd.peekOption("-c", value));
    EXPECT_EQ(value, "unchanged");
    EXPECT_TRUE(cmd.hasOption("-a"));
    EXPECT_TRUE(cmd.peekOption("-a", value));
    EXPECT_EQ(value, "1");
    EXPECT_TRUE(cmd.hasOption("-a"));  // peeking leaves it in place

    EXPECT_FALSE(cmd.popOption("-c", value));
    EXPECT_EQ(value, "1");
    EXPECT_TRUE(cmd.popOption("-a", value));
    EXPECT_EQ(value, "1");
    EXPECT_FALSE(cmd.hasOption("-a"));
    EXPECT_FALSE(cmd.popOption("-a"));
    EXPECT_TRUE(cmd.popOption("-b"));
    EXPECT_EQ(cmd.getNumOptions(), 0);
}

TEST(CmdLine, PopWithFallback)
{
    CCmdLine cmd = FromArgs({"p", "-empty"});
    std::string value;
    EXPECT_FALSE(cmd.popOption("-absent", value, "fallback"));
    EXPECT_EQ(value, "fallback");
    value = "something";
    EXPECT_TRUE(cmd.popOption("-empty", value, "fallback"));
    EXPECT_EQ(value, "");
}

TEST(CmdLine, ExtraOptionsAreWhatIsLeft)
{
    CCmdLine cmd = FromArgs({"p", "-start", "svc", "-debug", "3", "-unknown", "stray", "more"});
    EXPECT_TRUE(cmd.popOption("-start"));
    EXPECT_TRUE(cmd.popOption("-debug"));
    auto extra = cmd.getExtraOptions();
    std::sort(extra.begin(), extra.end());
    EXPECT_EQ(extra, (std::vector<std::string>{"", "-unknown"}));
}

}  // namespace

// WebInterface.conf: key and section checks with their log lines in table
// order, section kinds, the GLOBAL integer defaults and ranges, and files
// that are missing or malformed.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "baselib/kx_file.h"
#include "baselib/kx_hash.h"
#include "common/test_util.h"
#include "config/ConfigFile.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

namespace {

std::string HostName()
{
    char name[256] = "";
    gethostname(name, sizeof(name));
    return name;
}

class WebInterfaceConf : public ::testing::Test {
protected:
    void SetUp() override { CLog::setFileName((dir / "log").c_str()); }
    void TearDown() override { CLog::setFileHandle(KXFileStderr); }

    std::string Write(const std::string& content)
    {
        std::string path = dir / "WebInterface.conf";
        testutil::WriteFile(path, content);
        return path;
    }

    // Log messages without the time, host and pid prefix, optionally only
    // those starting with `prefix`.
    std::vector<std::string> Messages(const std::string& prefix = "") const
    {
        return testutil::LogMessages(dir / "log", prefix);
    }

    template <class F>
    CWIException Throws(F work)
    {
        return testutil::Throws<CWIException>(work, 0, "none");
    }

    testutil::TempDir dir;
};

bool DistinctHomes(const std::vector<std::string>& names)
{
    std::set<int> homes;
    for (const std::string& name : names)
        homes.insert(KXHashHomeSlot(name.c_str(), 256));
    return homes.size() == names.size();
}

// Names sorted by their home slot in a fresh 256-slot table: the order in
// which the tables hand them out when no two share a home slot.
std::vector<std::string> SlotOrder(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return KXHashHomeSlot(a.c_str(), 256) < KXHashHomeSlot(b.c_str(), 256);
    });
    return names;
}

TEST_F(WebInterfaceConf, LogsUnknownKeysAndSectionsInTableOrder)
{
    const std::string host = HostName();
    std::string path = Write("[GLOBAL]\n"
                             "MAXREQUEST=5\n"
                             "maxrequest=3\n"
                             "GLOBAL=1\n"
                             "OPTIONS=-w\n"
                             "[WA-DEBUG]\n"
                             "debugflag=1\n"
                             "TIMEOUT=3\n"
                             "[URLRewrite]\n"
                             "^/old=/new\n"
                             "[10.0.0.1]\n"
                             "PRIORITY=2\n"
                             "hostkey=2\n"
                             "[10.0.*.*]\n"
                             "MAXREQUEST=1\n"
                             "[10.0.*.invalid]\n"
                             "[10.0.0.1:8080.invalid]\n"
                             "[localhost]\n"
                             "[" + host + "]\n"
                             "[nothing-here.invalid]\n");
    CConfig config(path.c_str());

    std::vector<std::string> names = {"GLOBAL",   "WA-DEBUG",       "URLRewrite",
                                      "10.0.0.1", "10.0.*.*",       "10.0.*.invalid",
                                      "10.0.0.1:8080.invalid", "localhost", host,
                                      "nothing-here.invalid"};
    std::vector<std::string> sections = config.iniFile().getSections();
    // The host name varies by machine; with it sharing a home slot the
    // order depends on insertion, which the slot order cannot predict.
    if (DistinctHomes(names))
        EXPECT_EQ(sections, SlotOrder(names));
    else
        EXPECT_EQ(std::set<std::string>(sections.begin(), sections.end()),
                  std::set<std::string>(names.begin(), names.end()));

    std::vector<std::string> expected;
    for (const std::string& section : sections) {
        std::vector<std::string> unknown;
        if (section == "GLOBAL")
            unknown = {"maxrequest"};
        else if (section == "WA-DEBUG")
            unknown = {"debugflag"};
        else if (section == "10.0.0.1")
            unknown = {"hostkey"};
        for (const std::string& key : SlotOrder(unknown))
            expected.push_back("CConfigFile::checkConfig(): unknown key '" + key + "' in section [" +
                               section + "]");
    }
    for (const std::string& section : sections)
        if (section == "10.0.*.invalid" || section == "10.0.0.1:8080.invalid" ||
            section == "nothing-here.invalid")
            expected.push_back("CConfigFile::parseConfig(): ignoring unknown section [" + section +
                               "]");
    EXPECT_EQ(Messages("CConfigFile::"), expected);

    // The resolver's complaints for the three names that did not resolve,
    // and nothing for the pattern or the literal.
    auto resolver = Messages("ResolveHostName(");
    EXPECT_EQ(resolver.size(), 3u);
    for (const std::string& line : resolver)
        EXPECT_EQ(line.find("10.0.*.*"), std::string::npos) << line;
    EXPECT_EQ(Messages().size(), expected.size() + resolver.size());
}

TEST_F(WebInterfaceConf, SectionKindsAndKeyKinds)
{
    CConfig config(Write("[GLOBAL]\n").c_str());
    EXPECT_EQ(config.determineSectionType("GLOBAL"), SECTION_GLOBAL);
    EXPECT_EQ(config.determineSectionType("URLRewrite"), SECTION_URLREWRITE);
    EXPECT_EQ(config.determineSectionType("WA-DEBUG"), SECTION_IGNORED);
    EXPECT_EQ(config.determineSectionType("10.0.*.*"), SECTION_ADDRESS_PATTERN);
    EXPECT_EQ(config.determineSectionType("fe80::*"), SECTION_ADDRESS_PATTERN);
    EXPECT_EQ(config.determineSectionType("127.0.0.1"), SECTION_HOST);
    EXPECT_EQ(config.determineSectionType("localhost"), SECTION_HOST);
    EXPECT_EQ(config.determineSectionType(HostName()), SECTION_HOST);
    // Names that fail to resolve stay under .invalid: tests ask no outside resolver.
    EXPECT_EQ(config.determineSectionType("10.0.*.invalid"), SECTION_UNKNOWN);
    EXPECT_EQ(config.determineSectionType("10.0.0.1:8080.invalid"), SECTION_UNKNOWN);
    EXPECT_EQ(config.determineSectionType("x.invalid"), SECTION_UNKNOWN);
    EXPECT_EQ(config.determineSectionType(""), SECTION_UNKNOWN);

    EXPECT_EQ(config.determineKeyType("any", "MAXREQUEST"), KEY_INT);
    EXPECT_EQ(config.determineKeyType("any", "COOKIES"), KEY_STRING);
    EXPECT_EQ(config.determineKeyType("any", "KEEPALIVE"), KEY_BOOL);
    EXPECT_EQ(config.determineKeyType("any", "URLRewrite"), KEY_SECTION);
    EXPECT_EQ(config.determineKeyType("any", "maxrequest"), KEY_UNKNOWN);
}

TEST_F(WebInterfaceConf, GlobalIntegersHaveDefaultsAndRanges)
{
    CConfig config(Write("[GLOBAL]\n"
                         "TIMEOUT=abc\n"
                         "RETRIES=0\n"
                         "MAXCONTENTLENGTH=-1\n"
                         "KEEPALIVE=2\n"
                         "PRIORITY=-5\n"
                         "MAXUPTIME=2147483647\n"
                         "maxrequest=7\n"
                         "[10.0.0.1]\n"
                         "KEEPALIVE=99\n"
                         "MAXREQUEST=-3\n")
                       .c_str());
    EXPECT_EQ(config.getInt("GLOBAL", "MAXREQUEST"), 10000);  // absent
    EXPECT_EQ(config.getInt("GLOBAL", "TIMEOUT"), 150);       // not a number
    EXPECT_EQ(config.getInt("GLOBAL", "FREEREQUESTPERIOD"), 5);
    EXPECT_EQ(config.getInt("GLOBAL", "MAXUPTIME"), 2147483647);
    EXPECT_EQ(config.getInt("GLOBAL", "PRIORITY"), -5);  // no range

    CWIException low = Throws([&] { config.getInt("GLOBAL", "MAXCONTENTLENGTH"); });
    EXPECT_EQ(low.getStatus(), ERROR_GENERAL);
    EXPECT_STREQ(low.what(), "CConfig::getInt(): value [GLOBAL] 'MAXCONTENTLENGTH' == -1 is out of "
                             "range (0 .. 2147483647) (status=1)");
    CWIException keepAlive = Throws([&] { config.getInt("GLOBAL", "KEEPALIVE"); });
    EXPECT_STREQ(keepAlive.what(), "CConfig::getInt(): value [GLOBAL] 'KEEPALIVE' == 2 is out of "
                                   "range (0 .. 1) (status=1)");
    EXPECT_STREQ(Throws([&] { config.getInt("GLOBAL", "RETRIES"); }).what(),
                 "CConfig::getInt(): value [GLOBAL] 'RETRIES' == 0 is out of range (1 .. "
                 "2147483647) (status=1)");

    for (const char* key : {"GLOBAL", "maxrequest", "URLRewrite"}) {
        CWIException refused = Throws([&] { config.getInt("GLOBAL", key); });
        EXPECT_EQ(refused.getStatus(), ERROR_PARAMETER);
        EXPECT_EQ(std::string(refused.what()), std::string("CConfig::getInt(): key '") + key +
                                                   "' is not allowed in section [GLOBAL] (status=5)");
    }
    CWIException missing = Throws([&] { config.getInt("GLOBAL", "MONITOR_PRIORITY"); });
    EXPECT_EQ(missing.getStatus(), ERROR_INIFILE_KEY);
    EXPECT_EQ(std::string(missing.what()).rfind("CIniFile::getInt(): failed for section 'GLOBAL', "
                                                "key 'MONITOR_PRIORITY' in file ",
                                                0),
              0u);

    // Other sections read without limits and without defaults.
    EXPECT_EQ(config.getInt("10.0.0.1", "KEEPALIVE"), 99);
    EXPECT_EQ(config.getInt("10.0.0.1", "MAXREQUEST"), -3);
    EXPECT_EQ(Throws([&] { config.getInt("10.0.0.1", "TIMEOUT"); }).getStatus(), ERROR_INIFILE_KEY);
    EXPECT_EQ(Throws([&] { config.getInt("nosuch", "TIMEOUT"); }).getStatus(),
              ERROR_INIFILE_SECTION);
}

TEST_F(WebInterfaceConf, DefaultsApplyWithoutAGlobalSection)
{
    CConfig config(Write("; empty configuration\n").c_str());
    EXPECT_EQ(config.getInt("GLOBAL", "MAXREQUEST"), 10000);
    EXPECT_EQ(config.getInt("GLOBAL", "KEEPALIVE"), 1);
    EXPECT_EQ(Throws([&] { config.getString("GLOBAL", "OPTIONS"); }).getStatus(),
              ERROR_INIFILE_SECTION);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(WebInterfaceConf, TypedReadersForwardWithListSeparators)
{
    CConfig config(Write("[GLOBAL]\n"
                         "OPTIONS=-w -I/opt/lib\n"
                         "AUTORECOMPILE=ON\n"
                         "COOKIES=a,b\tc\n"
                         "MAXREQUEST=1-3, 9\n")
                       .c_str());
    EXPECT_EQ(config.getString("GLOBAL", "OPTIONS"), "-w -I/opt/lib");
    EXPECT_TRUE(config.getBoolean("GLOBAL", "AUTORECOMPILE"));
    EXPECT_EQ(config.getStringList("GLOBAL", "COOKIES"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(config.getIntList("GLOBAL", "MAXREQUEST"), (std::vector<int>{1, 2, 3, 9}));
    EXPECT_EQ(config.getInt("GLOBAL", "MAXREQUEST"), 10000);  // "1-3, 9" is no integer
}

TEST_F(WebInterfaceConf, MissingOrUnreadableFilesThrow)
{
    std::string missing = dir / "absent.conf";
    CWIException e = Throws([&] { CConfig config(missing.c_str()); });
    EXPECT_EQ(e.getStatus(), ERROR_FILE_OPEN);
    EXPECT_STREQ(e.what(), ("CIniFile::CIniFile(): KXIniFileNew() failed in file " + missing +
                            " (No such file or directory) (status=50001)")
                               .c_str());
    EXPECT_NE(Throws([&] { CConfigFile config(dir.path().c_str()); }).getStatus(), ERROR_NONE);
    if (geteuid() != 0) {  // root reads anything
        std::string locked = Write("[GLOBAL]\n");
        chmod(locked.c_str(), 0);
        EXPECT_EQ(Throws([&] { CConfig config(locked.c_str()); }).getStatus(), ERROR_FILE_OPEN);
    }
}

TEST_F(WebInterfaceConf, MalformedFilesAreLoggedAndSkipped)
{
    std::string garbage;
    for (int i = 0; i < 3000; i++)
        garbage += static_cast<char>((i * 7919) % 251 + 1);
    std::string path = Write("MAXREQUEST=1\n"
                             "[GLOBAL]\n"
                             "no equals sign\n"
                             "MAXREQUEST=20\n"
                             "MAXREQUEST=30\n"
                             "[GLOBAL]\n"
                             "TIMEOUT=40\n"
                             "[unclosed\n" +
                             garbage + "\n[GLOBAL");
    std::unique_ptr<CConfig> config;
    ASSERT_NO_THROW(config.reset(new CConfig(path.c_str())));
    EXPECT_EQ(config->getInt("GLOBAL", "MAXREQUEST"), 20);
    EXPECT_EQ(config->getInt("GLOBAL", "TIMEOUT"), 150);  // dropped with its repeated header
    auto parser = Messages("ParseIniFile(): ");
    ASSERT_GE(parser.size(), 6u);
    EXPECT_EQ(parser[0], "ParseIniFile(): " + path + "(1) invalid line: MAXREQUEST=1");
    EXPECT_EQ(parser[1], "ParseIniFile(): " + path + "(3) invalid line: no equals sign");
    EXPECT_EQ(parser[2], "ParseIniFile(): " + path + "(5) duplicate key: MAXREQUEST");
    EXPECT_EQ(parser[3], "ParseIniFile(): " + path + "(6) duplicate section: GLOBAL");
    EXPECT_EQ(parser[4],
              "ParseIniFile(): " + path + "(7) key in duplicate section [GLOBAL] ignored: TIMEOUT");
    EXPECT_EQ(parser[5], "ParseIniFile(): " + path + "(8) invalid line: [unclosed");
    int lastLine = 10 + static_cast<int>(std::count(garbage.begin(), garbage.end(), '\n'));
    EXPECT_EQ(parser.back(), "ParseIniFile(): " + path + "(" + std::to_string(lastLine) +
                                 ") invalid line: [GLOBAL");
}

}  // namespace

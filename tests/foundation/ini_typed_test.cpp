// CIniFile: typed getters, list and range parsing, error texts, the bounds
// on range expansion, and the built-in self test on its prepared file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "baselib/kx_file.h"
#include "common/test_util.h"
#include "foundation/Exceptions.h"
#include "foundation/IniFile.h"
#include "foundation/Log.h"

namespace {

const char SEPARATORS[] = " ,\n\t";

class IniTypedTest : public ::testing::Test {
protected:
    void SetUp() override { CLog::setFileName((dir / "log").c_str()); }
    void TearDown() override { CLog::setFileHandle(KXFileStderr); }

    CIniFile& Load(const std::string& content)
    {
        path = dir / "typed.ini";
        testutil::WriteFile(path, content);
        ini.reset(new CIniFile(path.c_str()));
        return *ini;
    }

    template <class F>
    CWIException Throws(F work)
    {
        return testutil::Throws<CWIException>(work, 0, "none");
    }

    std::vector<std::string> Messages() const { return testutil::LogMessages(dir / "log"); }

    testutil::TempDir dir;
    std::string path;
    std::unique_ptr<CIniFile> ini;
};

TEST_F(IniTypedTest, SelfTestPassesOnItsPreparedFile)
{
    testing::internal::CaptureStdout();
    CIniFile::test(TARVEL_TEST_DATA "/foundation/data/inifile_selftest.ini");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ok 1 - "), std::string::npos) << out;
    EXPECT_EQ(out.find("failed"), std::string::npos) << out;
    EXPECT_NE(out.find("\nAll tests succeeded.\n"), std::string::npos) << out;
}

TEST_F(IniTypedTest, SelfTestStopsTheProcessOnAFailedCheck)
{
    std::string broken = dir / "broken.ini";
    std::string content = testutil::ReadFile(TARVEL_TEST_DATA "/foundation/data/inifile_selftest.ini");
    size_t at = content.find("\nint=23\n");
    ASSERT_NE(at, std::string::npos);
    testutil::WriteFile(broken, content.replace(at, 8, "\nint=24\n"));
    EXPECT_DEATH(CIniFile::test(broken.c_str()), "");
}

TEST_F(IniTypedTest, StringsBooleansAndStringLists)
{
    CIniFile& file = Load("[s]\n"
                          "list=a, b,,c \n"
                          "on=ON\nyes=yes\nlower=true\nzero=0\n"
                          "long=" + std::string(9000, 'x').substr(0, 8188) + "\n");
    EXPECT_EQ(file.getStringList("s", "list", SEPARATORS), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(file.getStringList("s", "list", ","), (std::vector<std::string>{"a", " b", "c"}));
    EXPECT_TRUE(file.getBoolean("s", "on"));
    EXPECT_FALSE(file.getBoolean("s", "zero"));
    for (const char* key : {"yes", "lower"}) {
        CWIException e = Throws([&] { file.getBoolean("s", key); });
        EXPECT_EQ(e.getStatus(), ERROR_INIFILE_CONVERT);
        std::string value = file.getString("s", key);
        EXPECT_STREQ(e.what(), ("CIniFile::parseBoolean(): invalid boolean value '" + value +
                                "' in file " + path + " (status=40003)")
                                   .c_str());
    }
    // A line longer than the reader's buffer is refused whole, not cut.
    EXPECT_EQ(Throws([&] { file.getString("s", "long"); }).getStatus(), ERROR_INIFILE_KEY);
}

TEST_F(IniTypedTest, LongestValueALineCanHold)
{
    // A line holds at most 8190 characters, so "k=" leaves 8188 for the value.
    CIniFile& file = Load("[s]\nk=" + std::string(8188, 'y') + "\n");
    EXPECT_EQ(file.getString("s", "k"), std::string(8188, 'y'));
    EXPECT_EQ(file.parseIntList(std::string(9000, ' ') + "7", SEPARATORS), std::vector<int>{7});
}

TEST_F(IniTypedTest, MissingKeysAndSectionsThrowWithTheirStatus)
{
    CIniFile& file = Load("[s]\nk=1\nbad=abc\n");
    CWIException key = Throws([&] { file.getString("s", "missing"); });
    EXPECT_EQ(key.getStatus(), ERROR_INIFILE_KEY);
    EXPECT_STREQ(key.what(), ("CIniFile::getString(): failed for section 's', key 'missing' in file " +
                              path + " (status=40002)")
                                 .c_str());
    EXPECT_EQ(Throws([&] { file.getString("t", "k"); }).getStatus(), ERROR_INIFILE_SECTION);
    EXPECT_EQ(Throws([&] { file.getInt("s", "missing"); }).getStatus(), ERROR_INIFILE_KEY);
    CWIException bad = Throws([&] { file.getInt("s", "bad"); });
    EXPECT_EQ(bad.getStatus(), ERROR_INIFILE_CONVERT);
    EXPECT_STREQ(bad.what(), ("CIniFile::getInt(): failed for section 's', key 'bad' in file " +
                              path + " (status=40003)")
                                 .c_str());
    EXPECT_EQ(file.getInt("s", "k"), 1);
    EXPECT_EQ(Throws([&] { file.getKeys("t"); }).getStatus(), ERROR_INIFILE_SECTION);
    EXPECT_EQ(file.getKeys("s").size(), 2u);
    EXPECT_EQ(file.getSections(), std::vector<std::string>{"s"});
}

TEST_F(IniTypedTest, MissingFileFailsAtConstruction)
{
    std::string missing = dir / "none.ini";
    CWIException e = Throws([&] { CIniFile file(missing.c_str()); });
    EXPECT_EQ(e.getStatus(), ERROR_FILE_OPEN);
    EXPECT_STREQ(e.what(), ("CIniFile::CIniFile(): KXIniFileNew() failed in file " + missing +
                            " (No such file or directory) (status=50001)")
                               .c_str());
    EXPECT_EQ(Messages(), std::vector<std::string>{"ParseIniFile(): Error opening file " +
                                                   missing + " for read"});
}

TEST_F(IniTypedTest, IntegerListsAndRanges)
{
    CIniFile& file = Load("[s]\nx=1\n");
    using V = std::vector<int>;
    EXPECT_EQ(file.parseIntList("1-3, 7, 10-8", SEPARATORS), (V{1, 2, 3, 7, 10, 9, 8}));
    EXPECT_EQ(file.parseIntList("-5", SEPARATORS), V{-5});
    EXPECT_EQ(file.parseIntList("-10--1", SEPARATORS), (V{-10, -9, -8, -7, -6, -5, -4, -3, -2, -1}));
    EXPECT_EQ(file.parseIntList("-2-2", SEPARATORS), (V{-2, -1, 0, 1, 2}));
    EXPECT_EQ(file.parseIntList("5-", SEPARATORS), V{5});
    EXPECT_EQ(file.parseIntList("12abc", SEPARATORS), V{12});
    EXPECT_EQ(file.parseIntList(" 5-7", ","), (V{5, 6, 7}));
    EXPECT_EQ(file.parseIntList("4 - 6", ","), (V{4, 5, 6}));
    EXPECT_EQ(file.parseIntList("", SEPARATORS), V{});

    CWIException range = Throws([&] { file.parseIntList("1-2-3", SEPARATORS); });
    EXPECT_EQ(range.getStatus(), ERROR_INIFILE_CONVERT);
    EXPECT_STREQ(range.what(), ("CIniFile::parseIntRange(): invalid integer range '1-2-3' in file " +
                                path + " (status=40003)")
                                   .c_str());
    CWIException value = Throws([&] { file.parseIntList("1, abc", SEPARATORS); });
    EXPECT_EQ(value.getStatus(), ERROR_INIFILE_CONVERT);
    EXPECT_STREQ(value.what(), ("CIniFile::parseIntList(): invalid integer value 'abc' in file " +
                                path + " (status=40003)")
                                   .c_str());
    EXPECT_EQ(Throws([&] { file.parseIntList("99999999999", SEPARATORS); }).getStatus(),
              ERROR_INIFILE_CONVERT);
    EXPECT_EQ(Throws([&] { file.parseIntList("1-99999999999", SEPARATORS); }).getStatus(),
              ERROR_INIFILE_CONVERT);
    CWIException noDash = Throws([&] { file.parseIntRange("12", 0); });
    EXPECT_STREQ(noDash.what(),
                 ("CIniFile::parseIntRange(): invalid range '12' in file " + path + " (status=40003)")
                     .c_str());
    EXPECT_EQ(Throws([&] { file.parseIntRange("12-", 2); }).getStatus(), ERROR_INIFILE_CONVERT);
    EXPECT_EQ(Throws([&] { file.parseIntRange("", std::string::npos); }).getStatus(),
              ERROR_INIFILE_CONVERT);
}

TEST_F(IniTypedTest, RangeExpansionIsBounded)
{
    CIniFile& file = Load("[s]\nhuge=1-2147483647\nok=1-65536\n");
    EXPECT_EQ(file.getIntList("s", "ok", SEPARATORS).size(), 65536u);
    EXPECT_EQ(file.parseIntList("65536-1", SEPARATORS).size(), 65536u);
    EXPECT_EQ(file.parseIntList("-2147483648--2147418113", SEPARATORS).size(), 65536u);

    CWIException huge = Throws([&] { file.getIntList("s", "huge", SEPARATORS); });
    EXPECT_EQ(huge.getStatus(), ERROR_INIFILE_CONVERT);
    EXPECT_STREQ(huge.what(), ("CIniFile::parseIntRange(): invalid range '1-2147483647' in file " +
                               path + " (status=40003)")
                                  .c_str());
    EXPECT_EQ(Throws([&] { file.parseIntList("0-65536", SEPARATORS); }).getStatus(),
              ERROR_INIFILE_CONVERT);
    EXPECT_EQ(Throws([&] { file.parseIntList("-2147483648-2147483647", SEPARATORS); }).getStatus(),
              ERROR_INIFILE_CONVERT);

    // Sixteen full ranges reach the list's limit; one value more is refused.
    std::string sixteen;
    for (int i = 0; i < 16; i++)
        sixteen += "1-65536,";
    EXPECT_EQ(file.parseIntList(sixteen, SEPARATORS).size(), 1048576u);
    CWIException list = Throws([&] { file.parseIntList(sixteen + "7", SEPARATORS); });
    EXPECT_EQ(list.getStatus(), ERROR_INIFILE_CONVERT);
    EXPECT_NE(std::string(list.what()).find("invalid range '7'"), std::string::npos) << list.what();
    EXPECT_EQ(Throws([&] { file.parseIntList(sixteen + "1-2", SEPARATORS); }).getStatus(),
              ERROR_INIFILE_CONVERT);
}

}  // namespace

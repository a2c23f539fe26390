// KXIniFile: the line grammar, the per-line messages with file name and line
// number, dropped keys under a repeated header, and the typed lookups.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "baselib/kx_inifile.h"
#include "baselib/kx_log.h"
#include "baselib/kx_stringlist.h"
#include "common/test_util.h"
#include "string_list_items.h"

namespace {

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KXLogNew(&log), 0);
        ASSERT_EQ(KXLogSetOutputFile(log, (dir / "log").c_str()), 0);
    }
    void TearDown() override
    {
        if (ini != nullptr) {
            EXPECT_EQ(KXIniFileFree(&ini, log), ERROR_NONE);
        }
        KXLogFree(&log);
    }

    // Writes the content and parses it; returns the status.
    KXStatus Load(const std::string& content)
    {
        path = dir / "test.ini";
        testutil::WriteFile(path, content);
        return KXIniFileNew(&ini, path.c_str(), log);
    }

    // Log messages without the time, host and pid prefix.
    std::vector<std::string> Messages() const { return testutil::LogMessages(dir / "log"); }

    std::string Get(const char* section, const char* key, KXStatus* status = nullptr)
    {
        char buffer[256] = "";
        int size = sizeof(buffer);
        KXStatus result = KXIniFileGetString(ini, section, key, buffer, &size, log);
        if (status != nullptr)
            *status = result;
        return result == ERROR_NONE ? buffer : "<" + std::to_string(result) + ">";
    }

    std::vector<std::string> List(KXStringList* list) { return StringListItems(list); }

    testutil::TempDir dir;
    std::string path;
    KXLog* log = nullptr;
    KXIniFile* ini = nullptr;
};

TEST_F(IniFileTest, GrammarKeepsInnerBlanksAndTrimsOnlyTheEnd)
{
    ASSERT_EQ(Load("a=0\n"                    // 1: before any header
                   "[alpha] trailing\n"       // 2
                   "key = value \t\r\n"       // 3
                   "  [beta]\n"               // 4: leading blanks, no '='
                   "; comment\n"              // 5
                   "# comment\n"              // 6
                   "\n"                       // 7
                   "eq=a=b\n"                 // 8
                   "empty=\n"                 // 9
                   "[broken\n"                // 10
                   "[ spaced name ]\n"        // 11
                   " lead=1\n"                // 12
                   "last=no newline"),        // 13
              ERROR_NONE);
    EXPECT_EQ(Get("alpha", "key "), " value");
    EXPECT_EQ(Get("alpha", "eq"), "a=b");
    EXPECT_EQ(Get("alpha", "empty"), "");
    EXPECT_EQ(Get(" spaced name ", " lead"), "1");
    EXPECT_EQ(Get(" spaced name ", "last"), "no newline");
    KXStatus status;
    Get("alpha", "key", &status);
    EXPECT_EQ(status, ERROR_INIFILE_KEY);
    Get("beta", "x", &status);
    EXPECT_EQ(status, ERROR_INIFILE_SECTION);
    Get("Alpha", "key ", &status);  // names are case-sensitive
    EXPECT_EQ(status, ERROR_INIFILE_SECTION);
    EXPECT_EQ(Messages(), (std::vector<std::string>{
                              "ParseIniFile(): " + path + "(1) invalid line: a=0",
                              "ParseIniFile(): " + path + "(4) invalid line:   [beta]",
                              "ParseIniFile(): " + path + "(10) invalid line: [broken",
                          }));
}

TEST_F(IniFileTest, DuplicatesKeepTheFirstAndDropKeysOfARepeatedHeader)
{
    ASSERT_EQ(Load("[s]\n"
                   "a=1\n"
                   "a=2\n"
                   "[t]\n"
                   "x=1\n"
                   "[s]\n"
                   "a=3\n"
                   "b=4\n"
                   "junk\n"
                   "[u]\n"
                   "c=5\n"),
              ERROR_NONE);
    EXPECT_EQ(Get("s", "a"), "1");
    KXStatus status;
    Get("s", "b", &status);
    EXPECT_EQ(status, ERROR_INIFILE_KEY);
    Get("t", "b", &status);  // not merged into the section before the repeat either
    EXPECT_EQ(status, ERROR_INIFILE_KEY);
    EXPECT_EQ(Get("u", "c"), "5");
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{
                  "ParseIniFile(): " + path + "(3) duplicate key: a",
                  "ParseIniFile(): " + path + "(6) duplicate section: s",
                  "ParseIniFile(): " + path + "(7) key in duplicate section [s] ignored: a",
                  "ParseIniFile(): " + path + "(8) key in duplicate section [s] ignored: b",
                  "ParseIniFile(): " + path + "(9) invalid line: junk",
              }));
}

TEST_F(IniFileTest, LongLinesAreRefusedWholeNeverSplit)
{
    // The rest of an overlong line must never read as a line of its own:
    // here it would set OPTIONS.
    std::string cookies = "COOKIES=" + std::string(8182, 'c') + "OPTIONS=-e evil";
    std::string exact = "k=" + std::string(8188, 'v');  // 8190 bytes: the longest line
    ASSERT_EQ(Load("[s]\n" + cookies + "\r\n" + exact + "\r\n" + exact + "v\nnext=1\n" +
                   "nul=a" + std::string(1, '\0') + "\nlast=-w"),
              ERROR_NONE);
    KXStatus status;
    Get("s", "OPTIONS", &status);
    EXPECT_EQ(status, ERROR_INIFILE_KEY);
    Get("s", "COOKIES", &status);
    EXPECT_EQ(status, ERROR_INIFILE_KEY);
    std::vector<char> buffer(10000);
    int size = static_cast<int>(buffer.size());
    ASSERT_EQ(KXIniFileGetString(ini, "s", "k", buffer.data(), &size, log), ERROR_NONE);
    EXPECT_EQ(std::string(buffer.data()), exact.substr(2));
    EXPECT_EQ(Get("s", "next"), "1");
    Get("s", "nul", &status);
    EXPECT_EQ(status, ERROR_INIFILE_KEY);
    EXPECT_EQ(KXIniFileLineOf(ini, "s", "next"), 5);
    EXPECT_EQ(KXIniFileLineOf(ini, "s", "last"), 7);  // the last line, without a line feed
    EXPECT_EQ(KXIniFileLineOf(ini, "s", nullptr), 1);
    int line = 0;
    EXPECT_STREQ(KXIniFileProblem(ini, &line), "line longer than 8190 bytes");
    EXPECT_EQ(line, 2);
    EXPECT_EQ(Messages(), (std::vector<std::string>{
                              "ParseIniFile(): " + path + "(2) line longer than 8190 bytes refused",
                              "ParseIniFile(): " + path + "(4) line longer than 8190 bytes refused",
                              "ParseIniFile(): " + path + "(6) line with a NUL byte refused",
                          }));
}

// Each rule the reader enforces is kept as the first refusal, with its
// line and a printable excerpt, for callers that refuse a file with any.
TEST_F(IniFileTest, FirstRefusedLineIsKeptWithItsReason)
{
    struct Case {
        std::string content;
        int line;
        const char* reason;
    };
    const Case cases[] = {
        {"[GLOBAL\nOPTIONS=-w\n", 1, "section header without ']': [GLOBAL"},
        {"; c\nOPTIONS=-w\n[GLOBAL]\n", 2, "key before the first section header: OPTIONS=-w"},
        {"[a]\nx=1\njunk\x1b[2J\n", 3, "line without '=': junk?[2J"},
        {"[a]\nx=1\nx=2\n", 3, "repeated key: x"},
        {"[a]\n[b]\n[a]\ny=1\n", 3, "repeated section header: [a"},
        {"[a]\n" + std::string(100, 'z') + "\n", 2,
         "line without '=': zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz..."},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Load(c.content), ERROR_NONE) << c.content;
        int line = 0;
        const char* reason = KXIniFileProblem(ini, &line);
        ASSERT_NE(reason, nullptr) << c.content;
        EXPECT_STREQ(reason, c.reason);
        EXPECT_EQ(line, c.line) << c.content;
        EXPECT_EQ(KXIniFileFree(&ini, log), ERROR_NONE);
    }
    ASSERT_EQ(Load("[a]\n; only a comment\nx=1\n"), ERROR_NONE);
    EXPECT_EQ(KXIniFileProblem(ini, nullptr), nullptr);
    EXPECT_EQ(KXIniFileLineOf(ini, "a", "x"), 3);
    EXPECT_EQ(KXIniFileLineOf(ini, "a", "y"), 0);
    EXPECT_EQ(KXIniFileLineOf(ini, "b", nullptr), 0);
}

TEST_F(IniFileTest, KeysUnderABrokenHeaderLandInNoSection)
{
    // Merged into the section before, OPTIONS would become a GLOBAL key.
    ASSERT_EQ(Load("[GLOBAL]\n"
                   "KEEPALIVE=1\n"
                   "[10.0.0.1\n"
                   "OPTIONS=-e evil\n"
                   "[10.0.0.2]\n"
                   "OPTIONS=-w\n"),
              ERROR_NONE);
    KXStatus status;
    Get("GLOBAL", "OPTIONS", &status);
    EXPECT_EQ(status, ERROR_INIFILE_KEY);
    EXPECT_EQ(Get("GLOBAL", "KEEPALIVE"), "1");
    EXPECT_EQ(Get("10.0.0.2", "OPTIONS"), "-w");
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{
                  "ParseIniFile(): " + path + "(3) invalid line: [10.0.0.1",
                  "ParseIniFile(): " + path +
                      "(4) key under an invalid section header ignored: OPTIONS",
              }));
    int line = 0;
    EXPECT_STREQ(KXIniFileProblem(ini, &line), "section header without ']': [10.0.0.1");
    EXPECT_EQ(line, 3);
}

TEST_F(IniFileTest, AFifoIsRefusedWithoutWaiting)
{
    std::string fifo = dir / "fifo.ini";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Nobody writes: an open() that waits would hang here.
    EXPECT_EQ(KXIniFileNew(&ini, fifo.c_str(), log), ERROR_FILE_TYPE);
    EXPECT_EQ(ini, nullptr);
    EXPECT_EQ(KXIniFileNew(&ini, "/dev/null", log), ERROR_FILE_TYPE);
    EXPECT_EQ(KXIniFileNew(&ini, dir.path().c_str(), log), ERROR_FILE_TYPE);
}

TEST_F(IniFileTest, GetStringReportsTheRequiredSize)
{
    ASSERT_EQ(Load("[s]\nk=hello\n"), ERROR_NONE);
    char buffer[8];
    int size = 5;
    EXPECT_EQ(KXIniFileGetString(ini, "s", "k", buffer, &size, log), ERROR_BUFFER_SIZE);
    EXPECT_EQ(size, 6);
    EXPECT_EQ(KXIniFileGetString(ini, "s", "k", buffer, &size, log), ERROR_NONE);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(size, 6);
    EXPECT_EQ(KXIniFileGetString(ini, "s", nullptr, buffer, &size, log), ERROR_PARAMETER);
    auto messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "KXIniFileGetString(): Insufficient buffer size: 5, required: 6");
    EXPECT_EQ(messages[1].rfind("KXIniFileGetString(): invalid parameter (0x", 0), 0u);
}

TEST_F(IniFileTest, GetIntConversions)
{
    ASSERT_EQ(Load("[n]\n"
                   "plain=42\n"
                   "signed= -17\n"
                   "mixed=12abc\n"
                   "empty=\n"
                   "long=12345678901234\n"
                   "big=2147483648\n"
                   "max=2147483647\n"
                   "text=abc\n"),
              ERROR_NONE);
    int value = 0;
    EXPECT_EQ(KXIniFileGetInt(ini, "n", "plain", &value, log), ERROR_NONE);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(KXIniFileGetInt(ini, "n", "signed", &value, log), ERROR_NONE);
    EXPECT_EQ(value, -17);
    EXPECT_EQ(KXIniFileGetInt(ini, "n", "mixed", &value, log), ERROR_INIFILE_CONVERT);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(KXIniFileGetInt(ini, "n", "empty", &value, log), ERROR_NONE);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(KXIniFileGetInt(ini, "n", "long", &value, log), ERROR_BUFFER_SIZE);
    EXPECT_EQ(KXIniFileGetInt(ini, "n", "big", &value, log), ERROR_INIFILE_CONVERT);
    EXPECT_EQ(KXIniFileGetInt(ini, "n", "max", &value, log), ERROR_NONE);
    EXPECT_EQ(value, 2147483647);
    EXPECT_EQ(KXIniFileGetInt(ini, "n", "text", &value, log), ERROR_INIFILE_CONVERT);
    EXPECT_EQ(KXIniFileGetInt(ini, "n", "missing", &value, log), ERROR_INIFILE_KEY);
    EXPECT_EQ(KXIniFileGetInt(ini, "none", "plain", &value, log), ERROR_INIFILE_SECTION);
    EXPECT_EQ(KXIniFileGetInt(ini, "n", "plain", nullptr, log), ERROR_PARAMETER);
    EXPECT_EQ(Messages(), (std::vector<std::string>{
                              "KXIniFileGetInt(): Error converting to int: 12abc",
                              "KXIniFileGetString(): Insufficient buffer size: 14, required: 15",
                              "KXIniFileGetInt(): Error converting to int: 2147483648",
                              "KXIniFileGetInt(): Error converting to int: abc",
                              "KXIniFileGetInt(): parameter pValue is NULL",
                          }));
}

TEST_F(IniFileTest, SectionAndKeyListsReplaceTheListContent)
{
    ASSERT_EQ(Load("[one]\na=1\nb=2\n[two]\n[three]\nc=3\n"), ERROR_NONE);
    KXStringList* list = nullptr;
    ASSERT_EQ(KXStringListNew(&list), ERROR_NONE);
    ASSERT_EQ(KXStringListAdd(list, "stale"), ERROR_NONE);
    ASSERT_EQ(KXIniFileGetSections(ini, list, log), ERROR_NONE);
    auto sections = List(list);
    std::sort(sections.begin(), sections.end());
    EXPECT_EQ(sections, (std::vector<std::string>{"one", "three", "two"}));
    ASSERT_EQ(KXIniFileGetSectionKeys(ini, "one", list, log), ERROR_NONE);
    auto keys = List(list);
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"a", "b"}));
    ASSERT_EQ(KXIniFileGetSectionKeys(ini, "two", list, log), ERROR_NONE);
    EXPECT_TRUE(List(list).empty());
    EXPECT_EQ(KXIniFileGetSectionKeys(ini, "four", list, log), ERROR_INIFILE_SECTION);
    EXPECT_EQ(KXIniFileGetSectionKeys(ini, "one", nullptr, log), ERROR_PARAMETER);
    KXStringListFree(&list);
    EXPECT_EQ(Messages(), (std::vector<std::string>{
                              "KXIniFileGetSectionKeys(): parameter pKeyList is NULL"}));
}

TEST_F(IniFileTest, MissingOrUnreadableFilesFail)
{
    std::string missing = dir / "missing.ini";
    EXPECT_EQ(KXIniFileNew(&ini, missing.c_str(), log), ERROR_FILE_OPEN);
    EXPECT_EQ(ini, nullptr);
    // A directory opens but cannot be read.
    EXPECT_NE(KXIniFileNew(&ini, dir.path().c_str(), log), ERROR_NONE);
    EXPECT_EQ(ini, nullptr);
    EXPECT_EQ(KXIniFileNew(&ini, nullptr, log), ERROR_PARAMETER);
    EXPECT_EQ(KXIniFileNew(nullptr, missing.c_str(), log), ERROR_PARAMETER);
    EXPECT_EQ(Messages(), (std::vector<std::string>{
                              "ParseIniFile(): Error opening file " + missing + " for read",
                              "ParseIniFile(): error reading file " + dir.path(),
                              "KXIniFileNew(): parameter pFileName is NULL",
                              "KXIniFileNew(): parameter ppIniFile is NULL",
                          }));
    KXIniFile* none = nullptr;
    EXPECT_EQ(KXIniFileFree(&none, log), ERROR_PARAMETER);
}

TEST_F(IniFileTest, ManySectionsAndKeysAreFreedCleanly)
{
    std::string content;
    for (int s = 0; s < 300; s++) {
        content += "[section" + std::to_string(s) + "]\n";
        for (int k = 0; k < 5; k++)
            content += "key" + std::to_string(k) + "=value" + std::to_string(s * 10 + k) + "\n";
    }
    ASSERT_EQ(Load(content), ERROR_NONE);
    EXPECT_EQ(Get("section299", "key4"), "value2994");
    EXPECT_EQ(Get("section0", "key0"), "value0");
    // Leaks would show under the sanitizer build.
}

}  // namespace

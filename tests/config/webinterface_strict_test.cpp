// WebInterface.conf read strictly, as a reload reads it: every line that a
// start only logs refuses the file with its path, line and reason; a FIFO at
// the path is refused without waiting, whether strict or not.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "baselib/kx_file.h"
#include "common/test_util.h"
#include "config/ConfigFile.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

namespace {

class WebInterfaceStrict : public ::testing::Test {
protected:
    void SetUp() override { CLog::setFileName((dir / "log").c_str()); }
    void TearDown() override { CLog::setFileHandle(KXFileStderr); }

    std::string Write(const std::string& content)
    {
        testutil::WriteFile(path, content);
        return path;
    }

    // The message of the strict read's exception; "" when it read the file.
    std::string StrictError(const std::string& content)
    {
        Write(content);
        try {
            CConfig config(path.c_str(), true);
        } catch (const CWIException& e) {
            return e.what();
        }
        return "";
    }

    testutil::TempDir dir;
    std::string path = dir / "WebInterface.conf";
};

TEST_F(WebInterfaceStrict, EachProblemRefusesTheFileAtItsLine)
{
    struct Case {
        std::string content;
        std::string expected;  // after "<path>:"
    };
    const std::string cookies = "COOKIES=" + std::string(8182, 'c') + "OPTIONS=-e evil\n";
    const std::vector<Case> cases = {
        {"[GLOBAL\nOPTIONS=-w\n", "1: section header without ']': [GLOBAL"},
        {"[GLOBAL]\n" + cookies, "2: line longer than 8190 bytes"},
        {"[GLOBAL]\nOPTIONS=-w\nOPTIONS=-e evil\n", "3: repeated key: OPTIONS"},
        {"[GLOBAL]\nMAXREQUEST=5\nmaxrequest=3\n", "3: unknown key 'maxrequest' in section [GLOBAL]"},
        {"# c\n[GLOBAL]\nTIMEOUT=3\n[nothing-here.invalid]\n", "4: unknown section [nothing-here.invalid]"},
        // The lowest line wins, whichever check finds it.
        {"[GLOBAL]\nTIMEOUT=3\n[x.invalid]\n[WA-DEBUG]\nflag\x01=1\nbroken\n",
         "3: unknown section [x.invalid]"},
        {"[WA-DEBUG]\nTIMEOUT=1\n[GLOBAL]\nOPTIONS=-w\nbogus=1\n[GLOBAL]\n",
         "5: unknown key 'bogus' in section [GLOBAL]"},
        {"[GLOBAL]\nflag\x1b=1\n", "2: unknown key 'flag?' in section [GLOBAL]"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StrictError(c.content), path + ":" + c.expected + " (status=1)")
            << c.content.substr(0, 60);
    // A strict read logs nothing of what it refuses but the reader's lines.
    EXPECT_TRUE(testutil::LogMessages(dir / "log", "CConfigFile::").empty());
}

TEST_F(WebInterfaceStrict, AGoodFileReadsTheSameStrictOrNot)
{
    Write("; the demo's kind of file\n"
          "[GLOBAL]\n"
          "OPTIONS=-w -I/opt/lib\n"
          "KEEPALIVE=1\n"
          "[URLRewrite]\n"
          "^/old=/new\n"
          "[WA-DEBUG]\n"
          "TIMEOUT=5\n"
          "[127.0.0.1]\n"
          "MAXREQUEST=3\n"
          "[10.0.*.*]\n");
    CConfig strict(path.c_str(), true);
    CConfig lax(path.c_str());
    EXPECT_EQ(strict.getString("GLOBAL", "OPTIONS"), "-w -I/opt/lib");
    EXPECT_EQ(lax.getString("GLOBAL", "OPTIONS"), "-w -I/opt/lib");
    EXPECT_EQ(strict.getInt("127.0.0.1", "MAXREQUEST"), 3);
    EXPECT_TRUE(testutil::LogMessages(dir / "log").empty());
}

TEST_F(WebInterfaceStrict, AStartOnlyLogsAndNeverTakesTheSmuggledKey)
{
    Write("[GLOBAL]\nCOOKIES=" + std::string(8182, 'c') + "OPTIONS=-e evil\n[GLOBAL\n");
    CConfig config(path.c_str());
    EXPECT_EQ(testutil::Throws<CWIException>([&] { config.getString("GLOBAL", "OPTIONS"); }, 0,
                                             "none")
                  .getStatus(),
              ERROR_INIFILE_KEY);
    EXPECT_EQ(testutil::LogMessages(dir / "log"),
              (std::vector<std::string>{
                  "ParseIniFile(): " + path + "(2) line longer than 8190 bytes refused",
                  "ParseIniFile(): " + path + "(3) invalid line: [GLOBAL",
              }));
}

TEST_F(WebInterfaceStrict, AFifoIsRefusedWithoutWaitingStrictOrNot)
{
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    for (bool strict : {false, true}) {
        CWIException e = testutil::Throws<CWIException>(
            [&] { CConfig config(path.c_str(), strict); }, 0, "none");
        EXPECT_EQ(e.getStatus(), ERROR_FILE_TYPE);
        EXPECT_EQ(std::string(e.what()), "CIniFile::CIniFile(): KXIniFileNew() failed in file " +
                                             path + " (not a regular file) (status=50002)");
    }
}

}  // namespace

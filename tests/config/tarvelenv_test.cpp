#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "config/TarvelEnv.h"
#include "foundation/EnvVars.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

namespace {

typedef std::vector<std::string> Words;

// Runs the accessor with the variable unset (restored afterwards).
template <class F>
void withUnset(const char* name, F check)
{
    CScopedEnvChange scope(name, "", false);
    unsetenv(name);
    check();
}

TEST(TarvelEnvTest, DirectoriesLoseOneTrailingSeparator)
{
    const struct {
        const char* value;
        const char* expected;
    } cases[] = {
        {"/var/log/", "/var/log"},
        {"/var/log//", "/var/log/"},
        {"/var/log", "/var/log"},
        {"/", "/"},
        {"//", "//"},
        {"a/", "a/"},
        {"ab/", "ab"},
        {"C:\\inst\\", "C:\\inst"},
        {"", ""},
    };
    for (const auto& c : cases) {
        CScopedEnvChange scope("TARVEL_LOG", c.value, false);
        EXPECT_EQ(c.expected, CTarvelEnv::logDir()) << "value '" << c.value << "'";
    }
}

TEST(TarvelEnvTest, EachAccessorReadsItsVariableAnew)
{
    const struct {
        const char* variable;
        std::string (*accessor)();
    } cases[] = {
        {"TARVEL", &CTarvelEnv::baseDir},
        {"TARVEL_CARTRIDGES", &CTarvelEnv::cartridgesDir},
        {"TARVEL_PERL", &CTarvelEnv::perlDir},
        {"TARVEL_WEBROOT", &CTarvelEnv::webRootDir},
        {"TARVEL_CONFIG", &CTarvelEnv::configDir},
        {"TARVEL_LOG", &CTarvelEnv::logDir},
    };
    for (const auto& c : cases) {
        {
            CScopedEnvChange scope(c.variable, "/first/", false);
            EXPECT_EQ("/first", c.accessor()) << c.variable;
            CEnvVars::set(c.variable, "/second");
            EXPECT_EQ("/second", c.accessor()) << c.variable;
        }
        withUnset(c.variable, [&] {
            try {
                c.accessor();
                ADD_FAILURE() << c.variable << " unset did not throw";
            } catch (const CWIException& e) {
                EXPECT_EQ(ERROR_GENERAL, e.getStatus());
                EXPECT_EQ(std::string("Environment variable '") + c.variable +
                              "' not found (status=1)",
                          e.what());
            }
        });
    }
}

TEST(TarvelEnvTest, WebInterfaceConfigFileIsInConfigDir)
{
    CScopedEnvChange scope("TARVEL_CONFIG", "/etc/x/", false);
    EXPECT_EQ("/etc/x/WebInterface.conf", CTarvelConfig::webInterfaceConfigFile());
}

TEST(TarvelEnvTest, IpListSplitsOnBlanksTabsAndCommas)
{
    const struct {
        const char* value;
        Words expected;
    } cases[] = {
        {" 10.0.0.1,,10.0.0.2\t10.0.0.3 ", {"10.0.0.1", "10.0.0.2", "10.0.0.3"}},
        {"", {}},
        {" ,\t, ", {}},
        {"a", {"a"}},
        {"a,a", {"a", "a"}},
        {"host-a\n10.0.0.1", {"host-a\n10.0.0.1"}},
    };
    for (const auto& c : cases) {
        CScopedEnvChange scope("TARVEL_IPLIST", c.value, false);
        EXPECT_EQ(c.expected, CTarvelEnv::ipList()) << "value '" << c.value << "'";
    }
    withUnset("TARVEL_IPLIST", [] { EXPECT_THROW(CTarvelEnv::ipList(), CWIException); });
}

TEST(TarvelEnvTest, IpBindingAcceptsOneAndTrueInAnyCase)
{
    for (const char* yes : {"1", "TRUE", "true", "True"}) {
        CScopedEnvChange scope("TARVEL_IPBINDING", yes, false);
        EXPECT_TRUE(CTarvelEnv::ipBinding()) << yes;
    }
    for (const char* no : {"0", "FALSE", "yes", "", " 1", "1 ", "11"}) {
        CScopedEnvChange scope("TARVEL_IPBINDING", no, false);
        EXPECT_FALSE(CTarvelEnv::ipBinding()) << "'" << no << "'";
    }
    withUnset("TARVEL_IPBINDING", [] { EXPECT_FALSE(CTarvelEnv::ipBinding()); });
}

TEST(TarvelEnvTest, DatabaseConfigFileFitsOrReportsBufferSize)
{
    CScopedEnvChange scope("TARVEL_CONFIG", "/etc/x", false);
    const std::string expected = "/etc/x/Database.d/main.conf";
    ASSERT_EQ(27u, expected.size());

    char buffer[64];
    EXPECT_EQ(ERROR_NONE, KX4GetDatabaseConfigFile(buffer, "main", 28));
    EXPECT_EQ(expected, buffer);

    for (unsigned size : {27u, 1u, 0u}) {
        std::string untouched(sizeof buffer - 1, '#');
        std::copy(untouched.begin(), untouched.end(), buffer);
        buffer[sizeof buffer - 1] = '\0';
        EXPECT_EQ(ERROR_BUFFER_SIZE, KX4GetDatabaseConfigFile(buffer, "main", size)) << size;
        EXPECT_EQ(untouched, buffer) << size;
    }
}

TEST(TarvelEnvTest, DatabaseConfigFileWithoutConfigDirLogsAndReturnsStatus)
{
    testutil::TempDir dir;
    const std::string log = dir / "Service.log";
    CLog::setFileName(log.c_str());

    withUnset("TARVEL_CONFIG", [] {
        char buffer[64] = "untouched";
        EXPECT_EQ(ERROR_GENERAL, KX4GetDatabaseConfigFile(buffer, "main", sizeof buffer));
        EXPECT_STREQ("untouched", buffer);
    });
    char buffer[8];
    EXPECT_EQ(ERROR_PARAMETER, KX4GetDatabaseConfigFile(buffer, nullptr, sizeof buffer));

    const std::vector<std::string> lines = testutil::ReadLines(log);
    ASSERT_EQ(2u, lines.size());
    const std::string expected =
        "] KX4GetDatabaseConfigFile(): Environment variable 'TARVEL_CONFIG' not found (status=1)";
    EXPECT_EQ(expected, lines[0].substr(lines[0].size() - expected.size()));
    EXPECT_NE(std::string::npos,
              lines[1].find("KX4GetDatabaseConfigFile(): wrong arguments passed to procedure"));
}

}  // namespace

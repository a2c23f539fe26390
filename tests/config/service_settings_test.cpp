// tarvelsvc.conf: the defaults, a file that sets every key, each bad value
// and each unknown name refused with its line, and files that are missing,
// no regular file or unreadable.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "baselib/kx_file.h"
#include "common/test_util.h"
#include "config/ServiceSettings.h"
#include "config/ServiceSettingsContainment.h"
#include "foundation/EnvVars.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

namespace {

class ServiceSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { CLog::setFileName((dir / "log").c_str()); }
    void TearDown() override { CLog::setFileHandle(KXFileStderr); }

    ServiceSettings Load(const std::string& content)
    {
        testutil::WriteFile(path, content);
        return LoadServiceSettings(path);
    }

    // The message of the refusal; "" when the file was taken.
    std::string Error(const std::string& content)
    {
        try {
            Load(content);
        } catch (const CWIException& e) {
            return e.what();
        }
        return "";
    }

    testutil::TempDir dir;
    std::string path = dir / "tarvelsvc.conf";
};

TEST_F(ServiceSettingsTest, MissingFileAndEmptySectionGiveTheDefaults)
{
    const ServiceSettings defaults = LoadServiceSettings(path);
    EXPECT_EQ(defaults.startTimeout, 60);
    EXPECT_EQ(defaults.readiness, ReadinessProbe::Tcp);
    EXPECT_EQ(defaults.liveness, LivenessProbe::None);
    EXPECT_EQ(defaults.livenessPath, "/");
    EXPECT_EQ(defaults.livenessInterval, 10);
    EXPECT_EQ(defaults.livenessTimeout, 5);
    EXPECT_EQ(defaults.livenessFailures, 3);
    EXPECT_EQ(defaults.metricsListen.host, "");
    EXPECT_EQ(defaults.metricsListen.port, 0);
    EXPECT_EQ(defaults, ServiceSettings());
    EXPECT_EQ(Load(""), defaults);
    EXPECT_EQ(Load("; nothing set\n[SERVICE]\n# still nothing\n\n"), defaults);
    EXPECT_TRUE(testutil::LogMessages(dir / "log").empty());

    CScopedEnvChange config("TARVEL_CONFIG", "/etc/tarvel/", false);
    EXPECT_EQ(ServiceSettingsFile(), "/etc/tarvel/tarvelsvc.conf");
}

TEST_F(ServiceSettingsTest, EveryKeyIsReadWithBlanksAroundNamesAndValues)
{
    const ServiceSettings s = Load("[SERVICE]\n"
                                   "START_TIMEOUT=3600\n"
                                   "READINESS = none\n"
                                   "LIVENESS=\thttp \n"
                                   "LIVENESS_PATH=/health?probe=1&x=%20\n"
                                   "LIVENESS_INTERVAL=600\n"
                                   "LIVENESS_TIMEOUT=600\n"
                                   "LIVENESS_FAILURES=100\n"
                                   "METRICS_LISTEN=[::1]:9187\n");
    EXPECT_EQ(s.startTimeout, 3600);
    EXPECT_EQ(s.readiness, ReadinessProbe::None);
    EXPECT_EQ(s.liveness, LivenessProbe::Http);
    EXPECT_EQ(s.livenessPath, "/health?probe=1&x=%20");
    EXPECT_EQ(s.livenessInterval, 600);
    EXPECT_EQ(s.livenessTimeout, 600);
    EXPECT_EQ(s.livenessFailures, 100);
    EXPECT_EQ(s.metricsListen.host, "::1");
    EXPECT_EQ(s.metricsListen.port, 9187);
    EXPECT_NE(s, ServiceSettings());

    const ServiceSettings low = Load("[SERVICE]\nSTART_TIMEOUT=1\nLIVENESS=tcp\n"
                                     "LIVENESS_INTERVAL=1\nLIVENESS_TIMEOUT=1\n"
                                     "LIVENESS_FAILURES=1\nMETRICS_LISTEN=0.0.0.0:1\n");
    EXPECT_EQ(low.startTimeout, 1);
    EXPECT_EQ(low.liveness, LivenessProbe::Tcp);
    EXPECT_EQ(low.livenessInterval, 1);
    EXPECT_EQ(low.livenessFailures, 1);
    EXPECT_EQ(low.metricsListen.host, "0.0.0.0");
    EXPECT_EQ(low.metricsListen.port, 1);
    EXPECT_EQ(Load("[SERVICE]\nMETRICS_LISTEN=\nLIVENESS_INTERVAL=3600\n").metricsListen.port, 0);
    EXPECT_EQ(Load("[SERVICE]\nREADINESS=notify\n").readiness, ReadinessProbe::Notify);
    EXPECT_EQ(Load("[SERVICE]\nREADINESS=tcp+notify\n").readiness, ReadinessProbe::TcpNotify);
}

TEST_F(ServiceSettingsTest, EachBadValueIsRefusedWithFileLineAndReason)
{
    struct Case {
        const char* line;  // the file's third line, after "[SERVICE]" and a comment
        const char* reason;
    };
    const std::string longPath = "/" + std::string(1024, 'p');
    const std::vector<Case> cases = {
        {"START_TIMEOUT=0", "START_TIMEOUT: '0' is not a whole number of seconds from 1 to 3600"},
        {"START_TIMEOUT=3601", "START_TIMEOUT: '3601' is not a whole number of seconds from 1 to 3600"},
        {"START_TIMEOUT=-5", "START_TIMEOUT: '-5' is not a whole number of seconds from 1 to 3600"},
        {"START_TIMEOUT=30s", "START_TIMEOUT: '30s' is not a whole number of seconds from 1 to 3600"},
        {"START_TIMEOUT=99999999999", "START_TIMEOUT: '99999999999' is not a whole number of seconds from 1 to 3600"},
        {"START_TIMEOUT=", "START_TIMEOUT: '' is not a whole number of seconds from 1 to 3600"},
        {"READINESS=TCP", "READINESS: 'TCP' is none of tcp, none, notify, tcp+notify"},
        {"READINESS=http", "READINESS: 'http' is none of tcp, none, notify, tcp+notify"},
        {"READINESS=notify+tcp", "READINESS: 'notify+tcp' is none of tcp, none, notify, tcp+notify"},
        {"LIVENESS=yes", "LIVENESS: 'yes' is none of none, tcp, http, watchdog"},
        {"LIVENESS_PATH=health", "LIVENESS_PATH: 'health' does not start with '/', or holds a blank or a character outside printable ASCII, or is longer than 1024 characters"},
        {"LIVENESS_PATH=/a b", "LIVENESS_PATH: '/a b' does not start with '/', or holds a blank or a character outside printable ASCII, or is longer than 1024 characters"},
        {"LIVENESS_PATH=/a\x1b[2J", "LIVENESS_PATH: '/a?[2J' does not start with '/', or holds a blank or a character outside printable ASCII, or is longer than 1024 characters"},
        {"LIVENESS_PATH=/\xc3\xa9", "LIVENESS_PATH: '/?" "?' does not start with '/', or holds a blank or a character outside printable ASCII, or is longer than 1024 characters"},
        {"LIVENESS_INTERVAL=0", "LIVENESS_INTERVAL: '0' is not a whole number of seconds from 1 to 3600"},
        {"LIVENESS_INTERVAL=4", "LIVENESS_TIMEOUT (5 s) is longer than LIVENESS_INTERVAL (4 s)"},
        {"LIVENESS_TIMEOUT=601", "LIVENESS_TIMEOUT: '601' is not a whole number of seconds from 1 to 600"},
        {"LIVENESS_TIMEOUT=11", "LIVENESS_TIMEOUT (11 s) is longer than LIVENESS_INTERVAL (10 s)"},
        {"LIVENESS_FAILURES=0", "LIVENESS_FAILURES: '0' is not a whole number from 1 to 100"},
        {"LIVENESS_FAILURES=101", "LIVENESS_FAILURES: '101' is not a whole number from 1 to 100"},
        {"start_timeout=5", "unknown key 'start_timeout' in section [SERVICE]"},
        {"TIMEOUT=5", "unknown key 'TIMEOUT' in section [SERVICE]"},
        {"START_TIMEOUT 5", "line without '=': START_TIMEOUT 5"},
        {"[service]", "unknown section [service]"},
        {"[SERVICE]", "repeated section header: [SERVICE"},
        {"[SERVICE", "section header without ']': [SERVICE"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Error(std::string("[SERVICE]\n; comment\n") + c.line + "\n"),
                  path + ":3: " + c.reason + " (status=1)")
            << c.line;
    EXPECT_EQ(Error("[SERVICE]\n\nLIVENESS_PATH=" + longPath + "\n"),
              path + ":3: LIVENESS_PATH: '/" + std::string(63, 'p') +
                  "...' does not start with '/', or holds a blank or a character outside "
                  "printable ASCII, or is longer than 1024 characters (status=1)");
    EXPECT_EQ(Load("[SERVICE]\nLIVENESS_PATH=/" + std::string(1023, 'p') + "\n").livenessPath.size(),
              1024u);
    // A watchdog makes no probe, so no probe's time-out can outlast its interval.
    EXPECT_EQ(Load("[SERVICE]\nLIVENESS=watchdog\nLIVENESS_INTERVAL=1\n").liveness,
              LivenessProbe::Watchdog);
}

TEST_F(ServiceSettingsTest, ListenAddressesAreNumericWithAPort)
{
    const std::vector<std::string> bad = {
        "9187",          ":9187",           "localhost:9187", "127.0.0.1",
        "127.0.0.1:",    "127.0.0.1:0",     "127.0.0.1:65536", "127.0.0.1:+80",
        "::1:9187",      "[::1]",           "[::1]9187",      "[127.0.0.1]:9187",
        "[fe80::1%lo]:9187", "1.2.3:80",    "[::1]:9187x",    "256.0.0.1:80",
    };
    for (const std::string& value : bad)
        EXPECT_EQ(Error("[SERVICE]\nMETRICS_LISTEN=" + value + "\n"),
                  path + ":2: METRICS_LISTEN: '" + value +
                      "' is not ADDRESS:PORT (a numeric IPv4 address or an IPv6 address in "
                      "brackets, and a port from 1 to 65535), nor empty (status=1)")
            << value;
    const ServiceSettings v4 = Load("[SERVICE]\nMETRICS_LISTEN=127.0.0.1:65535\n");
    EXPECT_EQ(v4.metricsListen.host, "127.0.0.1");
    EXPECT_EQ(v4.metricsListen.port, 65535);
    EXPECT_EQ(Load("[SERVICE]\nMETRICS_LISTEN=[::]:80\n").metricsListen.host, "::");
}

TEST_F(ServiceSettingsTest, TheTreeKeysHaveTheirDefaultsRangesAndSizes)
{
    const ServiceSettings defaults = Load("[SERVICE]\n");
    EXPECT_EQ(defaults.containment, Containment::Auto);
    EXPECT_EQ(defaults.stopTimeout, 30);
    EXPECT_EQ(defaults.killTimeout, 5);
    EXPECT_EQ(defaults.accountingInterval, 10);
    EXPECT_EQ(defaults.memoryLimit, 0u);
    EXPECT_EQ(defaults.memoryLimitChecks, 3);

    const ServiceSettings s = Load("[SERVICE]\nCONTAINMENT = session\nSTOP_TIMEOUT=3600\n"
                                   "KILL_TIMEOUT=1\nACCOUNTING_INTERVAL=0\nMEMORY_LIMIT=768M\n"
                                   "MEMORY_LIMIT_CHECKS=100\n");
    EXPECT_EQ(s.containment, Containment::Session);
    EXPECT_STREQ(ContainmentName(s.containment), "session");
    EXPECT_EQ(s.stopTimeout, 3600);
    EXPECT_EQ(s.killTimeout, 1);
    EXPECT_EQ(s.accountingInterval, 0);
    EXPECT_EQ(s.memoryLimit, 768ull << 20);
    EXPECT_EQ(s.memoryLimitChecks, 100);
    EXPECT_NE(s, defaults);

    std::uint64_t bytes = 1;
    for (const auto& good : std::vector<std::pair<std::string, std::uint64_t>>{
             {"2G", 2ull << 30}, {"2g", 2ull << 30}, {"1024K", 1ull << 20}, {"16T", 16ull << 40},
             {"none", 0}, {"", 0}}) {
        EXPECT_TRUE(ReadMemorySize(good.first, bytes)) << good.first;
        EXPECT_EQ(bytes, good.second) << good.first;
    }
    for (const char* bad : {"768", "1023K", "17T", "1.5G", "2 G", "2GB", "-1G", "G", "99999999999T"})
        EXPECT_FALSE(ReadMemorySize(bad, bytes)) << bad;

    const std::vector<std::pair<const char*, const char*>> cases = {
        {"CONTAINMENT=cgroups", "CONTAINMENT: 'cgroups' is none of auto, cgroup, session"},
        {"STOP_TIMEOUT=0", "STOP_TIMEOUT: '0' is not a whole number of seconds from 1 to 3600"},
        {"KILL_TIMEOUT=601", "KILL_TIMEOUT: '601' is not a whole number of seconds from 1 to 600"},
        {"ACCOUNTING_INTERVAL=3601", "ACCOUNTING_INTERVAL: '3601' is not a whole number of seconds (0: off) from 0 to 3600"},
        {"MEMORY_LIMIT_CHECKS=0", "MEMORY_LIMIT_CHECKS: '0' is not a whole number from 1 to 100"},
        {"MEMORY_LIMIT=768", "MEMORY_LIMIT: '768' is not a size such as 768M or 2G (a whole number with K, M, G or T, from 1M to 16T), nor none"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Error(std::string("[SERVICE]\n; comment\n") + c.first + "\n"),
                  path + ":3: " + c.second + " (status=1)")
            << c.first;
}

TEST_F(ServiceSettingsTest, TheFirstProblemByLineIsNamed)
{
    // Unknown names, a repeat after blanks are removed and a bad value: the
    // lowest line is the one named, whatever order the checks take.
    EXPECT_EQ(Error("[SERVICE]\nSTART_TIMEOUT=5\nREADINESS=none\nSTART_TIMEOUT =6\n[OTHER]\n"),
              path + ":4: repeated key: START_TIMEOUT (status=1)");
    EXPECT_EQ(Error("[OTHER]\nx=1\n[SERVICE]\nSTART_TIMEOUT=0\n"),
              path + ":1: unknown section [OTHER] (status=1)");
    EXPECT_EQ(Error("[SERVICE]\nLIVENESS=tcp\nBOGUS=1\nSTART_TIMEOUT=0\n"),
              path + ":3: unknown key 'BOGUS' in section [SERVICE] (status=1)");
    EXPECT_EQ(Error("START_TIMEOUT=5\n[SERVICE]\n"),
              path + ":1: key before the first section header: START_TIMEOUT=5 (status=1)");
    EXPECT_EQ(Error("[SERVICE]\nLIVENESS_TIMEOUT=8\nLIVENESS_INTERVAL=7\n"),
              path + ":2: LIVENESS_TIMEOUT (8 s) is longer than LIVENESS_INTERVAL (7 s) (status=1)");
    EXPECT_EQ(Error("[SERVICE]\nMETRICS_LISTEN=" + std::string(9000, '1') + "\n"),
              path + ":2: line longer than 8190 bytes (status=1)");
}

TEST_F(ServiceSettingsTest, OnlyARegularFileIsRead)
{
    // A FIFO without a writer must not hold the caller.
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    CWIException fifo =
        testutil::Throws<CWIException>([&] { LoadServiceSettings(path); }, 0, "none");
    EXPECT_EQ(std::string(fifo.what()), "CIniFile::CIniFile(): KXIniFileNew() failed in file " +
                                            path + " (not a regular file) (status=50002)");
    ASSERT_EQ(unlink(path.c_str()), 0);

    // A link to nothing is a mistake to name, not a missing file.
    ASSERT_EQ(symlink((dir / "nowhere").c_str(), path.c_str()), 0);
    CWIException dangling =
        testutil::Throws<CWIException>([&] { LoadServiceSettings(path); }, 0, "none");
    EXPECT_EQ(std::string(dangling.what()), "CIniFile::CIniFile(): KXIniFileNew() failed in file " +
                                                path + " (No such file or directory) (status=50001)");
    ASSERT_EQ(unlink(path.c_str()), 0);

    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(testutil::Throws<CWIException>([&] { LoadServiceSettings(path); }, 0, "none")
                  .getStatus(),
              ERROR_FILE_TYPE);
}

}  // namespace

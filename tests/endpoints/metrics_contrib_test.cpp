// What contrib/ ships around the metrics: the alerting rules (promtool's
// check and its unit tests, and every metric they name is one the service
// writes), and the timer and service that write the file for node-exporter's
// textfile collector (systemd's verify, and the service's own command run
// with a stand-in for tarvelsvc: the file is replaced in one rename, never
// written in place, kept when the service does not answer, and says so when
// none runs).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "endpoints/Metrics.h"
#include "common/test_util.h"

namespace {

const std::string kContrib = std::string(TARVEL_SOURCE_DIR) + "/contrib";

bool Have(const std::string& tool)
{
    return testutil::Run({"/bin/sh", "-c", "command -v \"$1\"", "sh", tool}).exitCode == 0;
}

testutil::RunResult Shell(const std::string& script, const std::vector<std::string>& args = {},
                          const std::vector<std::string>& env = {})
{
    std::vector<std::string> argv = {"/bin/sh", "-c", script, "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::Run(argv, env);
}

TEST(MetricsContrib, AlertingRulesPassPromtool)
{
    if (!Have("promtool"))
        GTEST_SKIP() << "promtool is not installed (scripts/install-deps.sh installs it)";
    testutil::RunResult check = Shell("promtool check rules \"$1\"", {kContrib + "/prometheus/tarvelsvc.rules.yml"});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    EXPECT_NE(check.out.find("SUCCESS: 9 rules found"), std::string::npos) << check.out;
    // Each alert fires for what it is about and for nothing else.
    testutil::RunResult unit = Shell("cd \"$1\" && promtool test rules tarvelsvc.rules.test.yml",
                                     {kContrib + "/prometheus"});
    EXPECT_EQ(unit.exitCode, 0) << unit.out << unit.err;
}

TEST(MetricsContrib, RulesNameOnlyMetricsTheServiceWrites)
{
    ServiceMetrics service;
    service.stateNames = {"serving"};
    ServerMetrics server;
    server.state = "serving";
    server.pool = "pool1";
    const std::string text = RenderMetrics(service, {server}, ProcessMetrics());
    const std::string rules = testutil::ReadFile(kContrib + "/prometheus/tarvelsvc.rules.yml");
    std::set<std::string> named;
    // Every name in an expression, also in a block ("expr: |" and the lines
    // indented below it).
    std::regex metric("\\b(tarvel_[a-z_]+)");
    std::istringstream lines(rules);
    size_t exprIndent = std::string::npos;
    for (std::string line; std::getline(lines, line);) {
        size_t indent = line.find_first_not_of(' ');
        size_t at = line.find("expr:");
        if (at != std::string::npos)
            exprIndent = indent;
        else if (exprIndent == std::string::npos || indent == std::string::npos || indent <= exprIndent)
            exprIndent = std::string::npos;
        if (exprIndent == std::string::npos)
            continue;
        for (auto it = std::sregex_iterator(line.begin(), line.end(), metric); it != std::sregex_iterator(); ++it)
            named.insert((*it)[1]);
    }
    EXPECT_EQ(named, (std::set<std::string>{"tarvel_server_up", "tarvel_server_state", "tarvel_server_throttled",
                                            "tarvel_server_restarts_total", "tarvel_service_reload_failures_total",
                                            "tarvel_service_up", "tarvel_pool_servers",
                                            "tarvel_pool_configured_servers"}));
    // tarvel_service_up is added by the service (tests/service: -metrics).
    for (const std::string& name : named) {
        if (name == "tarvel_service_up")
            continue;
        EXPECT_NE(text.find("# TYPE " + name + " "), std::string::npos) << name;
    }
}

TEST(MetricsContrib, TimerAndServiceVerify)
{
    if (!Have("systemd-analyze"))
        GTEST_SKIP() << "systemd-analyze is not installed";
    testutil::TempDir dir;
    for (const char* unit : {"tarvelsvc-metrics.service", "tarvelsvc-metrics.timer"})
        testutil::CopyFile(kContrib + "/" + unit, dir / unit);
    testutil::RunResult verify = testutil::Run(
        {"/usr/bin/systemd-analyze", "verify", dir / "tarvelsvc-metrics.timer", dir / "tarvelsvc-metrics.service"});
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
    EXPECT_EQ(verify.out + verify.err, "");
}

// The shell command of ExecStart=, as systemd hands it to /bin/sh: "$$"
// becomes "$"; the installation's tarvelsvc is replaced by `stand-in`.
std::string WriterCommand(const std::string& standIn)
{
    std::ifstream unit(kContrib + "/tarvelsvc-metrics.service");
    std::string line;
    const std::string prefix = "ExecStart=/bin/sh -c '";
    while (std::getline(unit, line)) {
        if (line.rfind(prefix, 0) != 0 || line.back() != '\'')
            continue;
        std::string command = line.substr(prefix.size(), line.size() - prefix.size() - 1);
        EXPECT_EQ(command.find('\''), std::string::npos) << "a quote inside the command";
        EXPECT_EQ(command.find('%'), std::string::npos) << "systemd would expand a specifier";
        command = std::regex_replace(command, std::regex("\\$\\$"), "$");
        const std::string exe = "/usr/sbin/tarvelsvc -metrics";
        size_t at = command.find(exe);
        EXPECT_NE(at, std::string::npos) << command;
        return at == std::string::npos ? "exit 99" : command.replace(at, exe.size(), standIn + " -metrics");
    }
    ADD_FAILURE() << "no ExecStart=/bin/sh -c '...' line";
    return "exit 99";
}

std::vector<std::string> Entries(const std::string& dir)
{
    testutil::RunResult ls = testutil::Run({"/bin/ls", "-A", dir});
    std::vector<std::string> names;
    std::istringstream lines(ls.out);
    for (std::string name; std::getline(lines, name);)
        names.push_back(name);
    return names;
}

TEST(MetricsContrib, TextfileIsReplacedInOneRename)
{
    testutil::TempDir dir;
    const std::string textfiles = dir / "textfile";
    testutil::MakeDirs(textfiles);
    const std::string standIn = dir / "tarvelsvc";
    // Answers like the service, or, with FAIL set, writes half and fails,
    // or, with DOWN set, says that no service runs.
    testutil::WriteFile(standIn, "#!/bin/sh\n[ \"$1\" = -metrics ] || exit 2\n"
                                 "[ -n \"$DOWN\" ] && { echo 'tarvel_service_up 0'; exit 3; }\n"
                                 "echo '# TYPE tarvel_server_up gauge'\n"
                                 "[ -n \"$FAIL\" ] && { echo 'tarvel_server_up{'; exit 1; }\n"
                                 "echo 'tarvel_server_up{address=\"a\",port=\"1\"} 1'\n");
    chmod(standIn.c_str(), 0755);
    const std::string command = WriterCommand(standIn);
    const std::string prom = textfiles + "/tarvelsvc.prom";
    const std::vector<std::string> env = {"TEXTFILE_DIR=" + textfiles};

    testutil::RunResult first = Shell("umask 077; " + command, {}, env);
    EXPECT_EQ(first.exitCode, 0) << first.err;
    const std::string good = "# TYPE tarvel_server_up gauge\ntarvel_server_up{address=\"a\",port=\"1\"} 1\n";
    EXPECT_EQ(testutil::ReadFile(prom), good);
    struct stat before{};
    ASSERT_EQ(stat(prom.c_str(), &before), 0);
    EXPECT_EQ(before.st_mode & 07777, 0644u) << "node-exporter runs as another user";
    EXPECT_EQ(Entries(textfiles), std::vector<std::string>{"tarvelsvc.prom"});

    // A second run puts a new file in place: a reader holding the old one
    // never sees it change under it.
    EXPECT_EQ(Shell(command, {}, env).exitCode, 0);
    struct stat after{};
    ASSERT_EQ(stat(prom.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);

    // A failing service: exit status 1, the last good file kept, no leftovers.
    std::vector<std::string> failing = env;
    failing.push_back("FAIL=1");
    EXPECT_EQ(Shell(command, {}, failing).exitCode, 1);
    EXPECT_EQ(testutil::ReadFile(prom), good);
    EXPECT_EQ(Entries(textfiles), std::vector<std::string>{"tarvelsvc.prom"});
    // No service: the file says so, and the job did its work.
    std::vector<std::string> down = env;
    down.push_back("DOWN=1");
    EXPECT_EQ(Shell(command, {}, down).exitCode, 0);
    EXPECT_EQ(testutil::ReadFile(prom), "tarvel_service_up 0\n");
    EXPECT_EQ(Entries(textfiles), std::vector<std::string>{"tarvelsvc.prom"});
    // A directory it cannot write to: a failure, nothing written.
    std::vector<std::string> missing = {"TEXTFILE_DIR=" + dir / "missing"};
    EXPECT_NE(Shell(command, {}, missing).exitCode, 0);
}

}  // namespace

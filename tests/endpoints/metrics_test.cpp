// The metrics text as Prometheus reads it: every family with its HELP and
// TYPE before its samples, the numbers of a scenario with a killed, a
// throttled and a held server, label values escaped, "no value" left out,
// the process metrics from /proc (the real one and a made-up one), and
// promtool's own check of a whole exposition.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <map>
#include <set>
#include <sstream>

#include "endpoints/Metrics.h"
#include "endpoints/ProcessMetrics.h"
#include "common/test_util.h"

namespace {

const std::vector<std::string> kStates = {"down",      "starting",           "serving",
                                          "not answering", "throttled",      "stopped by operator",
                                          "stop requested", "terminating",   "killing"};

// The exposition parsed back: samples by "name{labels}", families in order
// with their TYPE, and every line that breaks the format's grouping.
struct Parsed {
    std::map<std::string, std::string> samples;
    std::vector<std::string> families;
    std::map<std::string, std::string> types;
    std::vector<std::string> problems;
};

Parsed Parse(const std::string& text)
{
    Parsed parsed;
    std::istringstream lines(text);
    std::string line, current, helped;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string hash, kind, name, rest;
        if (line.rfind("# HELP ", 0) == 0) {
            words >> hash >> kind >> helped;
        } else if (line.rfind("# TYPE ", 0) == 0) {
            words >> hash >> kind >> name >> rest;
            if (name != helped)
                parsed.problems.push_back("TYPE without its HELP just before: " + line);
            if (parsed.types.count(name))
                parsed.problems.push_back("family twice: " + name);
            parsed.types[name] = rest;
            parsed.families.push_back(name);
            current = name;
        } else {
            size_t space = line.rfind(' ');
            std::string series = line.substr(0, space);
            if (series.substr(0, series.find('{')) != current)
                parsed.problems.push_back("sample outside its family: " + line);
            if (!parsed.samples.emplace(series, line.substr(space + 1)).second)
                parsed.problems.push_back("series twice: " + series);
        }
    }
    return parsed;
}

ServerMetrics Server(const std::string& address, unsigned short port, const std::string& state)
{
    ServerMetrics server;
    server.address = address;
    server.port = port;
    server.state = state;
    return server;
}

std::string Labels(const std::string& address, unsigned short port)
{
    return "{address=\"" + address + "\",port=\"" + std::to_string(port) + "\"}";
}

// Killed by SIGKILL and serving again; throttled after failing with exit
// status 3; held by the operator after a clean end; never started.
std::vector<ServerMetrics> Scenario()
{
    ServerMetrics killed = Server("10.0.0.1", 8001, "serving");
    killed.up = true;
    killed.restarts = 1;
    killed.lastSignal = 9;
    killed.startTime = 1712345678.25;
    killed.readySeconds = 0.125;
    ServerMetrics throttled = Server("10.0.0.1", 8002, "throttled");
    throttled.restarts = 5;
    throttled.lastExitCode = 3;
    throttled.startTime = 1712345600;
    throttled.throttled = true;
    throttled.probeFailures = 2;
    ServerMetrics held = Server("10.0.0.1", 8003, "stopped by operator");
    held.lastExitCode = 0;
    held.startTime = 1712345000;
    return {killed, throttled, held, Server("10.0.0.1", 8004, "down")};
}

ServiceMetrics Service()
{
    ServiceMetrics service;
    service.version = "1.0.0";
    service.installation = "/opt/tarvel";
    service.reloads = 4;
    service.reloadFailures = 1;
    service.stateNames = kStates;
    return service;
}

// Every family of the exposition, once, typed; counters end in _total.
void ExpectFamilies(Parsed& p)
{
    const std::vector<std::string> families = {
        "tarvel_service_info", "tarvel_service_reloads_total", "tarvel_service_reload_failures_total",
        "tarvel_service_servers", "tarvel_server_up", "tarvel_server_state", "tarvel_server_restarts_total",
        "tarvel_server_last_exit_code", "tarvel_server_last_signal", "tarvel_server_start_time_seconds",
        "tarvel_server_ready_seconds", "tarvel_server_probe_failures", "tarvel_server_throttled",
        "process_cpu_seconds_total", "process_open_fds", "process_max_fds", "process_resident_memory_bytes",
        "process_start_time_seconds"};
    EXPECT_EQ(p.families, families);
    for (const auto& [name, type] : p.types) {
        bool total = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
        EXPECT_EQ(type, total ? "counter" : "gauge") << name;
    }
}

// The samples of the servers of Scenario().
void ExpectServers(Parsed& p)
{
    // The killed one serves again.
    const std::string k = Labels("10.0.0.1", 8001);
    EXPECT_EQ(p.samples["tarvel_server_up" + k], "1");
    EXPECT_EQ(p.samples["tarvel_server_restarts_total" + k], "1");
    EXPECT_EQ(p.samples["tarvel_server_last_signal" + k], "9");
    EXPECT_EQ(p.samples.count("tarvel_server_last_exit_code" + k), 0u);
    EXPECT_EQ(p.samples["tarvel_server_start_time_seconds" + k], "1712345678.25");
    EXPECT_EQ(p.samples["tarvel_server_ready_seconds" + k], "0.125");
    EXPECT_EQ(p.samples["tarvel_server_throttled" + k], "0");
    // The throttled one.
    const std::string t = Labels("10.0.0.1", 8002);
    EXPECT_EQ(p.samples["tarvel_server_up" + t], "0");
    EXPECT_EQ(p.samples["tarvel_server_throttled" + t], "1");
    EXPECT_EQ(p.samples["tarvel_server_restarts_total" + t], "5");
    EXPECT_EQ(p.samples["tarvel_server_last_exit_code" + t], "3");
    EXPECT_EQ(p.samples["tarvel_server_last_signal" + t], "0");
    EXPECT_EQ(p.samples["tarvel_server_probe_failures" + t], "2");
    EXPECT_EQ(p.samples.count("tarvel_server_ready_seconds" + t), 0u);
    // The held one ended cleanly: exit status 0 is a value, not "none".
    const std::string h = Labels("10.0.0.1", 8003);
    EXPECT_EQ(p.samples["tarvel_server_last_exit_code" + h], "0");
    EXPECT_EQ(p.samples["tarvel_server_up" + h], "0");
    // The one never started has neither a start time nor an exit.
    const std::string d = Labels("10.0.0.1", 8004);
    EXPECT_EQ(p.samples.count("tarvel_server_start_time_seconds" + d), 0u);
    EXPECT_EQ(p.samples.count("tarvel_server_last_exit_code" + d), 0u);
    EXPECT_EQ(p.samples["tarvel_server_restarts_total" + d], "0");

    // One state series per state per server, exactly one of them 1.
    const std::vector<std::string> current = {"serving", "throttled", "stopped by operator", "down"};
    for (unsigned short port = 8001; port <= 8004; ++port) {
        for (const std::string& state : kStates) {
            std::string series = "tarvel_server_state{address=\"10.0.0.1\",port=\"" + std::to_string(port) +
                                 "\",state=\"" + state + "\"}";
            ASSERT_EQ(p.samples.count(series), 1u) << series;
            EXPECT_EQ(p.samples[series], state == current[port - 8001] ? "1" : "0") << series;
        }
    }
}

TEST(Metrics, ScenarioWithKilledThrottledAndHeldServers)
{
    ProcessMetrics process;
    process.residentBytes = 4096 * 1000;
    process.cpuSeconds = 1.5;
    process.openFds = 12;
    process.maxFds = 1024;
    process.startTime = 1712340000.5;
    Parsed p = Parse(RenderMetrics(Service(), Scenario(), process));
    EXPECT_EQ(p.problems, std::vector<std::string>());
    ExpectFamilies(p);

    EXPECT_EQ(p.samples["tarvel_service_info{version=\"1.0.0\",installation=\"/opt/tarvel\"}"], "1");
    EXPECT_EQ(p.samples["tarvel_service_reloads_total"], "4");
    EXPECT_EQ(p.samples["tarvel_service_reload_failures_total"], "1");
    std::map<std::string, std::string> byState;
    for (const std::string& state : kStates)
        byState[state] = p.samples["tarvel_service_servers{state=\"" + state + "\"}"];
    EXPECT_EQ(byState, (std::map<std::string, std::string>{{"down", "1"}, {"starting", "0"}, {"serving", "1"},
                                                          {"not answering", "0"}, {"throttled", "1"},
                                                          {"stopped by operator", "1"}, {"stop requested", "0"},
                                                          {"terminating", "0"}, {"killing", "0"}}));
    ExpectServers(p);

    EXPECT_EQ(p.samples["process_resident_memory_bytes"], "4096000");
    EXPECT_EQ(p.samples["process_cpu_seconds_total"], "1.5");
    EXPECT_EQ(p.samples["process_open_fds"], "12");
    EXPECT_EQ(p.samples["process_max_fds"], "1024");
    EXPECT_EQ(p.samples["process_start_time_seconds"], "1712340000.5");
}

TEST(Metrics, LabelValuesAreEscapedAndUnknownStatesCounted)
{
    EXPECT_EQ(EscapeLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
    EXPECT_EQ(EscapeLabelValue("plain {x=1}, 'y'"), "plain {x=1}, 'y'");

    ServiceMetrics service = Service();
    service.installation = "/opt/\"odd\"\\dir\nname";
    service.version = "";
    std::vector<ServerMetrics> servers = {Server("fe80::1", 9001, "serving"), Server("h", 9002, "odd \"one\"")};
    Parsed p = Parse(RenderMetrics(service, servers, ProcessMetrics()));
    EXPECT_EQ(p.problems, std::vector<std::string>());
    EXPECT_EQ(p.samples["tarvel_service_info{version=\"\",installation=\"/opt/\\\"odd\\\"\\\\dir\\nname\"}"], "1");
    // A state no list names is counted under its own name, for every server.
    EXPECT_EQ(p.samples["tarvel_service_servers{state=\"odd \\\"one\\\"\"}"], "1");
    EXPECT_EQ(p.samples["tarvel_server_state{address=\"h\",port=\"9002\",state=\"odd \\\"one\\\"\"}"], "1");
    EXPECT_EQ(p.samples["tarvel_server_state{address=\"fe80::1\",port=\"9001\",state=\"odd \\\"one\\\"\"}"], "0");
    EXPECT_EQ(p.samples["tarvel_server_up{address=\"fe80::1\",port=\"9001\"}"], "0");
    // Process metrics that could not be read have no sample, only HELP and TYPE.
    EXPECT_EQ(p.samples.count("process_open_fds"), 0u);
    EXPECT_EQ(p.types["process_open_fds"], "gauge");
}

// Two pools, one with a name that needs escaping: every per-server series
// carries its pool, and each pool counts its servers by state (0 included)
// and in all; the pool families come before the servers' for promtool.
TEST(Metrics, PoolsLabelEveryServerAndCountTheirServers)
{
    std::vector<ServerMetrics> servers = Scenario();
    for (ServerMetrics& server : servers)
        server.pool = server.port == 8002 ? "b \"x\"\\" : "a";
    Parsed p = Parse(RenderMetrics(Service(), servers, ProcessMetrics()));
    EXPECT_EQ(p.problems, std::vector<std::string>());
    const std::string b = "pool=\"b \\\"x\\\"\\\\\"";
    EXPECT_EQ(p.samples["tarvel_server_throttled{address=\"10.0.0.1\",port=\"8002\"," + b + "}"], "1");
    EXPECT_EQ(p.samples["tarvel_server_state{address=\"10.0.0.1\",port=\"8003\",pool=\"a\",state=\"stopped by operator\"}"],
              "1");
    size_t perServer = 0, pooled = 0;
    for (const auto& [series, value] : p.samples) {
        if (series.rfind("tarvel_server_", 0) != 0)
            continue;
        ++perServer;
        pooled += series.find(",pool=\"") != std::string::npos;
    }
    EXPECT_EQ(pooled, perServer);
    EXPECT_EQ(p.samples["tarvel_pool_configured_servers{pool=\"a\"}"], "3");
    EXPECT_EQ(p.samples["tarvel_pool_configured_servers{" + b + "}"], "1");
    EXPECT_EQ(p.samples["tarvel_pool_servers{pool=\"a\",state=\"serving\"}"], "1");
    EXPECT_EQ(p.samples["tarvel_pool_servers{pool=\"a\",state=\"down\"}"], "1");
    EXPECT_EQ(p.samples["tarvel_pool_servers{pool=\"a\",state=\"throttled\"}"], "0");
    EXPECT_EQ(p.samples["tarvel_pool_servers{" + b + ",state=\"throttled\"}"], "1");
    size_t poolStates = 0;
    for (const auto& [series, value] : p.samples)
        poolStates += series.rfind("tarvel_pool_servers{", 0) == 0;
    EXPECT_EQ(poolStates, 2 * kStates.size());
}

TEST(Metrics, SampleValuesReadBackExactly)
{
    EXPECT_EQ(FormatSampleValue(0), "0");
    EXPECT_EQ(FormatSampleValue(65535), "65535");
    EXPECT_EQ(FormatSampleValue(-1), "-1");
    EXPECT_EQ(FormatSampleValue(1712345678.25), "1712345678.25");
    EXPECT_EQ(FormatSampleValue(0.1), "0.1");
    EXPECT_EQ(FormatSampleValue(4294967296.0 * 4096), "17592186044416");
    EXPECT_EQ(FormatSampleValue(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(FormatSampleValue(std::numeric_limits<double>::infinity()), "+Inf");
    EXPECT_EQ(FormatSampleValue(-std::numeric_limits<double>::infinity()), "-Inf");
    for (double value : {1.0 / 3, 1e300, 123456789.123456789, 9007199254740993.0, 5e-324})
        EXPECT_EQ(std::strtod(FormatSampleValue(value).c_str(), nullptr), value) << FormatSampleValue(value);
}

TEST(ProcessMetrics, ThisProcess)
{
    ProcessMetrics before = ReadProcessMetrics();
    int extra[3];
    for (int& fd : extra)
        fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ProcessMetrics after = ReadProcessMetrics();
    for (int fd : extra)
        close(fd);

    EXPECT_EQ(after.openFds, before.openFds + 3);
    EXPECT_GE(before.openFds, 3);  // at least stdin, stdout, stderr
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    EXPECT_EQ(after.maxFds, static_cast<double>(limit.rlim_cur));
    EXPECT_GT(after.residentBytes, 1 << 20);
    EXPECT_GE(after.cpuSeconds, before.cpuSeconds);
    EXPECT_GE(before.cpuSeconds, 0);
    // This test program started moments ago, to the clock tick.
    const double now = static_cast<double>(time(nullptr));
    EXPECT_LE(after.startTime, now + 1);
    EXPECT_GT(after.startTime, now - 120);
}

TEST(ProcessMetrics, MadeUpProcDirectory)
{
    testutil::TempDir dir;
    testutil::MakeDirs(dir / "self/fd");
    for (const char* name : {"0", "1", "2", "1000"})
        testutil::WriteFile(dir / "self/fd/" + name, "");
    // A command name with spaces and parentheses; 250+50 ticks of CPU,
    // started 1000 ticks after boot, 300 pages resident.
    std::ostringstream stat;
    stat << "4242 (a) b (c) S 1 4242 4242 0 -1 4194560 100 0 0 0 250 50 0 0 20 0 1 0 1000 123456 300 "
            "18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0\n";
    testutil::WriteFile(dir / "self/stat", stat.str());
    testutil::WriteFile(dir / "self/limits",
                        "Limit                     Soft Limit           Hard Limit           Units     \n"
                        "Max processes             63704                63704                processes \n"
                        "Max open files            4096                 524288               files     \n");
    testutil::WriteFile(dir / "stat", "cpu  1 2 3\nintr 1 2 3 4\nctxt 99\nbtime 1700000000\nprocesses 5\n");

    ProcessMetrics m = ReadProcessMetrics(dir / "self", dir / "stat");
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    EXPECT_EQ(m.openFds, 4);
    EXPECT_EQ(m.maxFds, 4096);
    EXPECT_DOUBLE_EQ(m.cpuSeconds, 300 / ticks);
    EXPECT_DOUBLE_EQ(m.startTime, 1700000000 + 1000 / ticks);
    EXPECT_EQ(m.residentBytes, 300.0 * static_cast<double>(sysconf(_SC_PAGESIZE)));

    // "unlimited", a stat cut short and no btime: nothing made up.
    testutil::WriteFile(dir / "self/limits", "Max open files            unlimited            unlimited            files\n");
    testutil::WriteFile(dir / "self/stat", "4242 (x) S 1 2 3\n");
    testutil::WriteFile(dir / "stat", "cpu 1 2 3\n");
    m = ReadProcessMetrics(dir / "self", dir / "stat");
    EXPECT_EQ(m.maxFds, -1);
    EXPECT_EQ(m.cpuSeconds, -1);
    EXPECT_EQ(m.residentBytes, -1);
    EXPECT_EQ(m.startTime, -1);
    EXPECT_EQ(ReadProcessMetrics(dir / "missing", dir / "missing").openFds, -1);
}

// promtool parses and lints an exposition the way the server does.
TEST(Metrics, PromtoolAcceptsTheExposition)
{
    if (testutil::Run({"/bin/sh", "-c", "command -v promtool"}).exitCode != 0)
        GTEST_SKIP() << "promtool is not installed (scripts/install-deps.sh installs it)";
    testutil::TempDir dir;
    std::vector<ServerMetrics> servers = Scenario();
    servers.push_back(Server("::1", 8005, "odd\\ \"state\"\nname"));
    testutil::WriteFile(dir / "metrics.prom", RenderMetrics(Service(), servers, ReadProcessMetrics()));
    testutil::RunResult check =
        testutil::Run({"/bin/sh", "-c", "promtool check metrics <\"$1\"", "sh", dir / "metrics.prom"});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    EXPECT_EQ(check.out + check.err, "");
    // promtool is not lenient: a broken exposition does fail.
    testutil::WriteFile(dir / "broken.prom", "# TYPE x_total counter\nx_total{a=\"b} 1\n");
    testutil::RunResult broken =
        testutil::Run({"/bin/sh", "-c", "promtool check metrics <\"$1\"", "sh", dir / "broken.prom"});
    EXPECT_NE(broken.exitCode, 0);
}

}  // namespace

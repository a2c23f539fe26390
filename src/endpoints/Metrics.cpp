#include "endpoints/Metrics.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>
#include <utility>

namespace {

// The per-server families besides tarvel_server_state, and those of the
// trees: what the text is reserved for.
constexpr size_t kServerFamilies = 8;
constexpr size_t kTreeFamilies = 4;

// Writes the sample value into `text` (32 bytes suffice) and returns its length.
size_t FormatValue(double value, char* text, size_t size)
{
    // Most samples of a table are states and flags.
    if (value == 0 || value == 1) {
        text[0] = value == 0 ? '0' : '1';
        return 1;
    }
    if (std::isnan(value))
        return static_cast<size_t>(std::copy_n("NaN", 3, text) - text);
    if (std::isinf(value))
        return static_cast<size_t>(std::copy_n(value > 0 ? "+Inf" : "-Inf", 4, text) - text);
    // Counts, ports and times read as integers; 2^53 is the last integer
    // every double still holds exactly.
    if (std::fabs(value) < 9007199254740992.0 && value == std::floor(value))
        return static_cast<size_t>(std::to_chars(text, text + size, static_cast<long long>(value)).ptr - text);
    // The shortest text that reads back as the same double.
    return static_cast<size_t>(std::to_chars(text, text + size, value).ptr - text);
}

// Appends HELP, TYPE and samples to one string, the families one after the
// other as the format requires.
class Exposition {
public:
    explicit Exposition(std::string& out) : mOut(out) {}

    void family(const char* name, const char* type, const char* help)
    {
        mOut.append("# HELP ").append(name).append(" ").append(help).append("\n");
        mOut.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    }
    // `labels` then `more` are the text between the braces, already
    // escaped; either may be empty. Two parts, so that a server's labels and
    // a state's are not joined into a new string per sample.
    void sample(const char* name, const std::string& labels, double value, const std::string& more = {})
    {
        mOut.append(name);
        if (!labels.empty() || !more.empty())
            mOut.append(1, '{').append(labels).append(more).append(1, '}');
        // The blank, the value and the end of the line in one append: a
        // thousand servers are twenty thousand lines.
        char text[40] = {' '};
        size_t length = 1 + FormatValue(value, text + 1, 32);
        text[length++] = '\n';
        mOut.append(text, length);
    }
    // Leaves the sample out when the value is < 0: "none".
    void sampleIfKnown(const char* name, const std::string& labels, double value)
    {
        if (value >= 0)
            sample(name, labels, value);
    }

private:
    std::string& mOut;
};

// Appends `value` escaped for a label value between double quotes.
void AppendEscaped(std::string& out, const std::string& value)
{
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
}

// Appends name="value", the value escaped.
void AppendLabel(std::string& out, const char* name, const std::string& value)
{
    out.append(name).append("=\"");
    AppendEscaped(out, value);
    out += '"';
}

std::string Label(const char* name, const std::string& value)
{
    std::string label;
    label.reserve(strlen(name) + value.size() + 3);
    AppendLabel(label, name, value);
    return label;
}

// The states in the order of the series: the given names, then any state a
// server is in that they do not name.
std::vector<std::string> StatesOf(const ServiceMetrics& service, const std::vector<ServerMetrics>& servers)
{
    std::vector<std::string> states = service.stateNames;
    std::map<std::string, bool> known;
    for (const std::string& state : states)
        known[state] = true;
    for (const ServerMetrics& server : servers) {
        if (!known[server.state]) {
            known[server.state] = true;
            states.push_back(server.state);
        }
    }
    return states;
}

void WriteNotifyDrops(Exposition& out, const ServiceMetrics& service)
{
    if (!service.notifySocket)
        return;
    out.family("tarvel_notify_dropped_total", "counter",
               "Datagrams the servers' notification socket dropped, by reason.");
    out.sample("tarvel_notify_dropped_total", Label("reason", "foreign"),
               static_cast<double>(service.droppedForeign));
    out.sample("tarvel_notify_dropped_total", Label("reason", "unknown"),
               static_cast<double>(service.droppedUnknown));
    out.sample("tarvel_notify_dropped_total", Label("reason", "malformed"),
               static_cast<double>(service.droppedMalformed));
}

void WriteService(Exposition& out, const ServiceMetrics& service, const std::vector<ServerMetrics>& servers,
                  const std::vector<std::string>& states)
{
    out.family("tarvel_service_info", "gauge", "Version and installation of this service; always 1.");
    out.sample("tarvel_service_info",
               Label("version", service.version) + "," + Label("installation", service.installation), 1);
    out.family("tarvel_service_reloads_total", "counter", "Configuration reloads applied since the service started.");
    out.sample("tarvel_service_reloads_total", "", static_cast<double>(service.reloads));
    out.family("tarvel_service_reload_failures_total", "counter",
               "Configuration reloads refused since the service started.");
    out.sample("tarvel_service_reload_failures_total", "", static_cast<double>(service.reloadFailures));
    WriteNotifyDrops(out, service);
    out.family("tarvel_service_servers", "gauge", "Supervised servers by state.");
    std::map<std::string, unsigned long> counts;
    for (const ServerMetrics& server : servers)
        ++counts[server.state];
    for (const std::string& state : states)
        out.sample("tarvel_service_servers", Label("state", state), static_cast<double>(counts[state]));
}

// One family over every server; `value` returns the sample or < 0 for none.
template <class F>
void PerServer(Exposition& out, const char* name, const char* type, const char* help,
               const std::vector<std::string>& labels, const std::vector<ServerMetrics>& servers, F value)
{
    out.family(name, type, help);
    for (size_t i = 0; i < servers.size(); ++i)
        out.sampleIfKnown(name, labels[i], value(servers[i]));
}

void WriteStates(Exposition& out, const std::vector<std::string>& labels,
                 const std::vector<ServerMetrics>& servers, const std::vector<std::string>& states)
{
    out.family("tarvel_server_state", "gauge", "1 for the server's current state, 0 for every other state.");
    std::vector<std::string> stateLabels;
    for (const std::string& state : states)
        stateLabels.push_back("," + Label("state", state));
    for (size_t i = 0; i < servers.size(); ++i) {
        for (size_t s = 0; s < states.size(); ++s)
            out.sample("tarvel_server_state", labels[i], servers[i].state == states[s] ? 1 : 0, stateLabels[s]);
    }
}

// Each server's labels: address, port and, where the table names one, pool.
std::vector<std::string> ServerLabels(const std::vector<ServerMetrics>& servers)
{
    std::vector<std::string> labels;
    labels.reserve(servers.size());
    for (const ServerMetrics& server : servers) {
        std::string label;
        label.reserve(32 + server.address.size() + server.pool.size());
        AppendLabel(label, "address", server.address);
        label.append(",port=\"").append(std::to_string(server.port)).append("\"");
        if (!server.pool.empty()) {
            label += ',';
            AppendLabel(label, "pool", server.pool);
        }
        labels.push_back(std::move(label));
    }
    return labels;
}

void WriteServers(Exposition& out, const std::vector<std::string>& labels, const std::vector<ServerMetrics>& servers,
                  const std::vector<std::string>& states)
{
    using S = const ServerMetrics&;
    PerServer(out, "tarvel_server_up", "gauge", "1 while the server is serving, else 0.", labels, servers,
              [](S s) { return s.up ? 1.0 : 0.0; });
    WriteStates(out, labels, servers, states);
    PerServer(out, "tarvel_server_restarts_total", "counter",
              "Starts of the server after its first one since the service started.", labels, servers,
              [](S s) { return static_cast<double>(s.restarts); });
    PerServer(out, "tarvel_server_last_exit_code", "gauge",
              "Exit status of the server's last end; no sample until it ends by exiting.", labels, servers,
              [](S s) { return s.lastExitCode < 0 ? -1.0 : s.lastExitCode; });
    PerServer(out, "tarvel_server_last_signal", "gauge",
              "Signal that ended the server last; 0 when its last end was not by a signal.", labels, servers,
              [](S s) { return s.lastSignal < 0 ? 0.0 : s.lastSignal; });
    PerServer(out, "tarvel_server_start_time_seconds", "gauge",
              "Unix time of the server's last start; no sample before its first start.", labels, servers,
              [](S s) { return s.startTime > 0 ? s.startTime : -1.0; });
    PerServer(out, "tarvel_server_ready_seconds", "gauge",
              "Seconds from the server's last start to serving; no sample while it is not serving.", labels,
              servers, [](S s) { return s.readySeconds; });
    PerServer(out, "tarvel_server_probe_failures", "gauge", "Failed probes of the server in a row.", labels,
              servers, [](S s) { return static_cast<double>(s.probeFailures); });
    PerServer(out, "tarvel_server_throttled", "gauge",
              "1 while the server waits for its next start after repeated quick failures, else 0.", labels,
              servers, [](S s) { return s.throttled ? 1.0 : 0.0; });
}

// Per pool: the servers in each state (0 included, as for the service) and
// all of them, which summed over the hosts is the landscape's capacity. A
// table that names no pool (one made up without ServerConfig.xml) has no
// pool families.
void WritePools(Exposition& out, const std::vector<ServerMetrics>& servers, const std::vector<std::string>& states)
{
    std::map<std::string, std::map<std::string, unsigned long>> pools;
    for (const ServerMetrics& server : servers)
        if (!server.pool.empty())
            ++pools[server.pool][server.state];
    if (pools.empty())
        return;
    out.family("tarvel_pool_servers", "gauge", "Servers of the pool on this host by state.");
    for (const auto& pool : pools) {
        const std::string label = Label("pool", pool.first) + ",";
        for (const std::string& state : states) {
            auto count = pool.second.find(state);
            out.sample("tarvel_pool_servers", label + Label("state", state),
                       count == pool.second.end() ? 0.0 : static_cast<double>(count->second));
        }
    }
    out.family("tarvel_pool_configured_servers", "gauge", "Servers of the pool this host should run.");
    for (const auto& pool : pools) {
        unsigned long total = 0;
        for (const auto& count : pool.second)
            total += count.second;
        out.sample("tarvel_pool_configured_servers", Label("pool", pool.first), static_cast<double>(total));
    }
}

// The families of contained trees: the mode, and each tree's figures where
// they were read.
void WriteTrees(Exposition& out, const ServiceMetrics& service, const std::vector<std::string>& labels,
                const std::vector<ServerMetrics>& servers)
{
    out.family("tarvel_service_containment", "gauge", "1 for the containment of the servers' trees in use.");
    out.sample("tarvel_service_containment", Label("mode", service.containment), 1);
    using S = const ServerMetrics&;
    PerServer(out, "tarvel_server_processes", "gauge", "Processes in the server's tree.", labels, servers,
              [](S s) { return s.measured ? s.processes : -1.0; });
    PerServer(out, "tarvel_server_memory_bytes", "gauge", "Resident memory of the server's tree.", labels,
              servers, [](S s) { return s.measured ? s.memoryBytes : -1.0; });
    PerServer(out, "tarvel_server_cpu_seconds_total", "counter",
              "CPU seconds of the server's tree since its start.", labels, servers,
              [](S s) { return s.measured ? s.cpuSeconds : -1.0; });
    PerServer(out, "tarvel_server_recycles_total", "counter",
              "Recycles of the server for its memory limit since the service started.", labels, servers,
              [](S s) { return static_cast<double>(s.recycles); });
}

void WriteProcess(Exposition& out, const ProcessMetrics& process)
{
    out.family("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
    out.sampleIfKnown("process_cpu_seconds_total", "", process.cpuSeconds);
    out.family("process_open_fds", "gauge", "Number of open file descriptors.");
    out.sampleIfKnown("process_open_fds", "", process.openFds);
    out.family("process_max_fds", "gauge", "Maximum number of open file descriptors.");
    out.sampleIfKnown("process_max_fds", "", process.maxFds);
    out.family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    out.sampleIfKnown("process_resident_memory_bytes", "", process.residentBytes);
    out.family("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.");
    out.sampleIfKnown("process_start_time_seconds", "", process.startTime);
}

}  // namespace

std::string EscapeLabelValue(const std::string& value)
{
    std::string escaped;
    escaped.reserve(value.size());
    AppendEscaped(escaped, value);
    return escaped;
}

std::string FormatSampleValue(double value)
{
    char text[32];
    return std::string(text, FormatValue(value, text, sizeof text));
}

std::string RenderMetrics(const ServiceMetrics& service, const std::vector<ServerMetrics>& servers,
                          const ProcessMetrics& process)
{
    const std::vector<std::string> states = StatesOf(service, servers);
    const std::vector<std::string> labels = ServerLabels(servers);
    const bool trees = !service.containment.empty();
    // One allocation for the whole text: a server's sample is a name of at
    // most about 40 bytes, its labels, a state's label and a value.
    const size_t series = states.size() + kServerFamilies + (trees ? kTreeFamilies : 0);
    size_t size = 8192;
    for (const std::string& label : labels)
        size += series * (label.size() + 80);
    std::string text;
    text.reserve(size);
    Exposition out(text);
    WriteService(out, service, servers, states);
    WritePools(out, servers, states);
    WriteServers(out, labels, servers, states);
    if (trees)
        WriteTrees(out, service, labels, servers);
    WriteProcess(out, process);
    return text;
}

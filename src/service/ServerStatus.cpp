#include "service/ServerStatus.h"

#include <algorithm>
#include <cstdio>

#include "foundation/HostPort.h"

namespace {

std::string LocalTime(time_t when, const char* format)
{
    struct tm parts;
    char text[64];
    if (localtime_r(&when, &parts) == nullptr || strftime(text, sizeof text, format, &parts) == 0)
        return std::to_string(static_cast<long long>(when));
    return text;
}

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one.
size_t Utf8Length(const std::string& text, size_t i)
{
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    unsigned long code = length == 1 ? c : c & (0x7f >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (byte(i + k) & 0x3f);
    }
    static const unsigned long kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return length;
}

std::string JsonSeconds(double seconds)
{
    if (seconds < 0)
        return "null";
    char text[32];
    snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

std::string JsonTime(time_t when)
{
    return when == 0 ? "null" : std::to_string(static_cast<long long>(when));
}

// What the server's process said of itself, after the columns: only when it did.
std::string NoticeColumns(const ServerStatus& s)
{
    std::string text;
    if (s.stoppingNotified)
        text += "  stopping notified";
    if (s.hasStatus)
        text += "  status: \"" + s.statusText + "\"";
    return text;
}

}  // namespace

std::string FormatUptime(long seconds)
{
    if (seconds < 0)
        seconds = 0;
    char text[48];
    long days = seconds / 86400;
    seconds %= 86400;
    if (days > 0)
        snprintf(text, sizeof text, "%ldd %02ld:%02ld:%02ld", days, seconds / 3600,
                 seconds / 60 % 60, seconds % 60);
    else
        snprintf(text, sizeof text, "%ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60,
                 seconds % 60);
    return text;
}

void GroupByPool(std::vector<ServerStatus>& servers)
{
    std::stable_sort(servers.begin(), servers.end(),
                     [](const ServerStatus& a, const ServerStatus& b) { return a.pool < b.pool; });
}

// "procs 3", "mem 41.2 MiB", "cpu 0.35 s"; "-" for a tree not read.
static void AddFigures(const ServerStatus& s, std::vector<std::string>& row)
{
    char mem[48] = "mem -";
    char cpu[48] = "cpu -";
    if (s.measured) {
        snprintf(mem, sizeof mem, "mem %.1f MiB", double(s.figures.memoryBytes) / (1024.0 * 1024.0));
        snprintf(cpu, sizeof cpu, "cpu %.2f s", s.figures.cpuSeconds);
    }
    row.push_back("procs " + (s.measured ? std::to_string(s.figures.processes) : std::string("-")));
    row.push_back(mem);
    row.push_back(cpu);
}

std::string FormatServerTable(const std::vector<ServerStatus>& servers)
{
    // Contained trees add their figures: processes, memory, CPU time.
    bool trees = !servers.empty() && !servers[0].containment.empty();
    const size_t kColumns = trees ? 10 : 7;
    std::vector<std::vector<std::string>> rows;
    std::vector<size_t> widths(kColumns, 0);
    for (const ServerStatus& s : servers) {
        std::vector<std::string> row{
            FormatEndpoint(s.address, s.port),
            "pool " + (s.pool.empty() ? std::string("-") : s.pool),
            "pid " + (s.pid > 0 ? std::to_string(s.pid) : std::string("-")),
            s.throttledUntil != 0 && s.state == "throttled"
                ? s.state + " until " + LocalTime(s.throttledUntil, "%H:%M:%S")
                : s.state,
            "uptime " + (s.pid > 0 ? FormatUptime(s.uptimeSeconds) : std::string("-")),
            "restarts " + std::to_string(s.restarts),
            "last end " + (s.lastEnd.empty()
                               ? std::string("-")
                               : s.lastEnd + " at " + LocalTime(s.lastEndTime, "%Y-%m-%d %H:%M:%S")),
        };
        if (trees)
            AddFigures(s, row);
        for (size_t c = 0; c < kColumns; ++c)
            widths[c] = std::max(widths[c], row[c].size());
        rows.push_back(std::move(row));
    }
    std::string text;
    for (const auto& row : rows) {
        for (size_t c = 0; c < kColumns; ++c) {
            text += row[c];
            if (c + 1 < kColumns)
                text.append(widths[c] - row[c].size() + 2, ' ');
        }
        text += NoticeColumns(servers[static_cast<size_t>(&row - rows.data())]);
        text += '\n';
    }
    return text;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c >= 0x80) {
            size_t length = Utf8Length(text, i);
            if (length == 0) {
                out += "\\ufffd";  // not UTF-8: JSON cannot carry the raw byte
                ++i;
                continue;
            }
            out.append(text, i, length);
            i += length;
            continue;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

// The tree's keys; its figures are 0 while none were read.
static std::string JsonTree(const ServerStatus& s)
{
    char cpu[32];
    snprintf(cpu, sizeof cpu, "%.2f", s.figures.cpuSeconds);
    return ", \"containment\": " + JsonString(s.containment) +
           ", \"processes\": " + std::to_string(s.figures.processes) +
           ", \"memory_bytes\": " + std::to_string(s.figures.memoryBytes) +
           ", \"cpu_seconds\": " + cpu;
}

std::string FormatServerJson(const std::vector<ServerStatus>& servers)
{
    std::string text = "[";
    for (size_t i = 0; i < servers.size(); ++i) {
        const ServerStatus& s = servers[i];
        text += i == 0 ? "\n  {" : ",\n  {";
        text += "\"address\": " + JsonString(s.address);
        text += ", \"port\": " + std::to_string(s.port);
        text += ", \"pid\": " + std::to_string(s.pid > 0 ? s.pid : 0);
        text += ", \"state\": " + JsonString(s.state);
        text += ", \"throttled_until\": " + JsonTime(s.throttledUntil);
        text += ", \"uptime_s\": " + std::to_string(s.pid > 0 ? s.uptimeSeconds : 0);
        text += ", \"restarts\": " + std::to_string(s.restarts);
        text += ", \"last_end\": " + (s.lastEnd.empty() ? std::string("null") : JsonString(s.lastEnd));
        text += ", \"last_end_time\": " + JsonTime(s.lastEndTime);
        text += std::string(", \"ready\": ") + (s.ready ? "true" : "false");
        text += ", \"ready_s\": " + JsonSeconds(s.readySeconds);
        text += ", \"probe_failures\": " + std::to_string(s.probeFailures);
        if (!s.pool.empty())
            text += ", \"pool\": " + JsonString(s.pool);
        if (!s.containment.empty())
            text += JsonTree(s);
        if (s.notifies) {
            text += std::string(", \"stopping_notified\": ") + (s.stoppingNotified ? "true" : "false");
            text += ", \"status_text\": " + (s.hasStatus ? JsonString(s.statusText) : std::string("null"));
        }
        text += "}";
    }
    text += servers.empty() ? "]\n" : "\n]\n";
    return text;
}

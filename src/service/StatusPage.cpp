#include "service/StatusPage.h"

#include <cstdio>

#include "foundation/HostPort.h"

namespace {

// Colours by what the state means to the operator: serving, on its way
// (starting, stopping), failing, and held on purpose. The words stay in
// the cell: the colour only helps the eye.
const char* StateClass(const std::string& state)
{
    if (state == "serving")
        return "ok";
    if (state == "not answering" || state == "throttled")
        return "bad";
    if (state == "stopped by operator")
        return "held";
    return "wait";
}

// No script, no outside resource; only this page's own style.
const char kHead[] =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
    "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n"
    "<meta http-equiv=\"refresh\" content=\"5\">\n"
    "<meta name=\"viewport\" content=\"width=device-width\">\n"
    "<style>\n"
    "body{font:14px/1.4 sans-serif;margin:1em 2em;color:#222;background:#fafafa}\n"
    "h1{font-size:1.4em;margin:0 0 .2em}h2{font-size:1.1em;margin:1.2em 0 .3em}\n"
    ".meta{color:#555;margin:0}table{border-collapse:collapse;min-width:60em}\n"
    "th,td{text-align:left;padding:.2em .8em;border-bottom:1px solid #ddd}\n"
    "th{background:#eee}.n{text-align:right}\n"
    "td.ok{background:#c8efc8}td.bad{background:#f6c1c1}td.held{background:#d6dcf2}td.wait{background:#f7e2a8}\n"
    "</style>\n";

const char kTableHead[] =
    "<table><tr><th>server</th><th>state</th><th class=\"n\">pid</th><th class=\"n\">uptime</th>"
    "<th class=\"n\">restarts</th><th>last end</th><th class=\"n\">memory</th><th class=\"n\">CPU</th></tr>\n";

std::string LocalTime(time_t when, const char* format = "%Y-%m-%d %H:%M:%S")
{
    struct tm parts;
    char text[32];
    if (when == 0 || localtime_r(&when, &parts) == nullptr || strftime(text, sizeof text, format, &parts) == 0)
        return "-";
    return text;
}

std::string Figure(double value, double unit, const char* suffix)
{
    if (value < 0)
        return "-";
    char text[48];
    snprintf(text, sizeof text, "%.1f %s", value / unit, suffix);
    return text;
}

void Cell(std::string& out, const std::string& text, const char* cls = nullptr)
{
    out += cls == nullptr ? "<td>" : std::string("<td class=\"") + cls + "\">";
    out += text;
    out += "</td>";
}

void Row(std::string& out, const StatusPageServer& server)
{
    const ServerStatus& s = server.status;
    bool runs = s.pid > 0;
    out += "<tr>";
    Cell(out, EscapeHtml(FormatEndpoint(s.address, s.port)));
    std::string state = EscapeHtml(s.state);
    if (s.throttledUntil != 0 && s.state == "throttled")
        state += " until " + LocalTime(s.throttledUntil, "%H:%M:%S");
    Cell(out, state, StateClass(s.state));
    Cell(out, runs ? std::to_string(s.pid) : "-", "n");
    Cell(out, runs ? FormatUptime(s.uptimeSeconds) : "-", "n");
    Cell(out, std::to_string(s.restarts), "n");
    Cell(out, s.lastEnd.empty() ? "-" : EscapeHtml(s.lastEnd) + " at " + LocalTime(s.lastEndTime));
    Cell(out, Figure(server.memoryBytes, 1024.0 * 1024.0, "MiB"), "n");
    Cell(out, Figure(server.cpuSeconds, 1.0, "s"), "n");
    out += "</tr>\n";
}

// The heading of the pool whose servers are servers[from, to).
void PoolHeading(std::string& out, const std::vector<StatusPageServer>& servers, size_t from, size_t to)
{
    size_t serving = 0;
    for (size_t i = from; i < to; ++i)
        serving += servers[i].status.ready ? 1 : 0;
    const std::string& pool = servers[from].status.pool;
    out += "<h2>pool " + (pool.empty() ? std::string("-") : EscapeHtml(pool)) + " &middot; " +
           std::to_string(serving) + " of " + std::to_string(to - from) + " serving</h2>\n";
    out += kTableHead;
}

void Summary(std::string& out, const StatusPageService& service, const std::vector<StatusPageServer>& servers,
             time_t now)
{
    size_t serving = 0;
    for (const StatusPageServer& server : servers)
        serving += server.status.ready ? 1 : 0;
    const std::string host = EscapeHtml(service.host);
    out += "<title>tarvelsvc on " + host + "</title>\n</head><body>\n<h1>tarvelsvc on " + host + "</h1>\n";
    out += "<p class=\"meta\">version " + EscapeHtml(service.version) + " &middot; containment " +
           (service.containment.empty() ? std::string("-") : EscapeHtml(service.containment)) +
           " &middot; started " + LocalTime(service.startTime) + "</p>\n";
    out += "<p class=\"meta\">" + std::to_string(serving) + " of " + std::to_string(servers.size()) +
           " servers serving &middot; as of " + LocalTime(now) + " &middot; refreshed every 5 s</p>\n";
}

}  // namespace

std::string EscapeHtml(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
                out += c;
        }
    }
    return out;
}

std::string RenderStatusPage(const StatusPageService& service, const std::vector<StatusPageServer>& servers,
                             time_t now)
{
    std::string out;
    // About 160 bytes a row: one allocation for the whole page.
    out.reserve(4096 + servers.size() * 192);
    out += kHead;
    Summary(out, service, servers, now);
    for (size_t from = 0; from < servers.size();) {
        size_t to = from + 1;
        while (to < servers.size() && servers[to].status.pool == servers[from].status.pool)
            ++to;
        PoolHeading(out, servers, from, to);
        for (size_t i = from; i < to; ++i)
            Row(out, servers[i]);
        out += "</table>\n";
        from = to;
    }
    if (servers.empty())
        out += "<p>No servers are configured for this host.</p>\n";
    out += "</body></html>\n";
    return out;
}

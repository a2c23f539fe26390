#include "service/ServiceCheck.h"

#include <map>

namespace {

const char* const kStopped = "stopped by operator";
// A monitoring system shows the line in a table: the first names tell
// what is wrong, the count how much.
constexpr size_t kNamed = 8;

const char* StatusWord(CheckStatus status)
{
    static const char* const words[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    return words[status];
}

// The plugin's text may hold neither '|' (perfdata follows it) nor a line
// break; the names come from the service's reply.
std::string Clean(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (c == '|' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return out;
}

// "a, b, c and 3 more".
std::string Names(const std::vector<std::string>& names)
{
    std::string text;
    for (size_t i = 0; i < names.size() && i < kNamed; ++i)
        text += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > kNamed)
        text += " and " + std::to_string(names.size() - kNamed) + " more";
    return text;
}

// "; <label>a, b" for a non-empty list.
std::string NameList(const std::string& label, const std::vector<std::string>& names)
{
    return names.empty() ? "" : "; " + label + Names(names);
}

// What a critical line starts with.
std::string DownText(const std::vector<std::string>& pools)
{
    // Without pools in the reply, the host's servers are one pool.
    if (pools.size() == 1 && pools.front().empty())
        return "no server serves on this host; ";
    if (pools.size() == 1)
        return "pool " + pools.front() + " does not serve on this host; ";
    return "pools " + Names(pools) + " do not serve on this host; ";
}

struct Counts {
    unsigned long serving = 0, throttled = 0, notAnswering = 0, stopped = 0, restarts = 0;
    std::vector<std::string> faults;   // "ADDRESS:PORT state"
    std::vector<std::string> held;     // ADDRESS:PORT
};

Counts CountRows(const std::vector<ReportedServer>& rows)
{
    Counts c;
    for (const ReportedServer& row : rows) {
        c.restarts += row.restarts;
        bool throttled = row.state == "throttled", notAnswering = row.state == "not answering";
        c.serving += row.ready ? 1 : 0;
        c.throttled += throttled ? 1 : 0;
        c.notAnswering += notAnswering ? 1 : 0;
        if (row.state == kStopped) {
            ++c.stopped;
            c.held.push_back(Clean(row.endpoint));
        } else if (!row.ready || throttled || notAnswering) {
            c.faults.push_back(Clean(row.endpoint + " " + row.state));
        }
    }
    return c;
}

// The pools with servers here of which none serves; "" stands for all the
// servers of a reply without pools.
std::vector<std::string> DownPools(const std::vector<ReportedServer>& rows)
{
    std::map<std::string, bool> serves;
    for (const ReportedServer& row : rows)
        serves[row.pool] = serves[row.pool] || row.ready;
    std::vector<std::string> down;
    for (const auto& pool : serves)
        if (!pool.second)
            down.push_back(serves.size() > 1 && pool.first.empty() ? "(none)" : Clean(pool.first));
    return down;
}

std::string Perfdata(const Counts& c, size_t total)
{
    std::string all = std::to_string(total);
    return "serving=" + std::to_string(c.serving) + ";;;0;" + all +
           " throttled=" + std::to_string(c.throttled) + ";;;0;" + all +
           " not_answering=" + std::to_string(c.notAnswering) + ";;;0;" + all +
           " stopped=" + std::to_string(c.stopped) + ";;;0;" + all +
           " restarts=" + std::to_string(c.restarts) + "c";
}

}  // namespace

CheckVerdict CheckFailed(CheckStatus status, const std::string& text)
{
    CheckVerdict verdict;
    verdict.status = status;
    verdict.line = std::string("TARVEL ") + StatusWord(status) + " - " + Clean(text) + "\n";
    return verdict;
}

CheckVerdict JudgeServers(const std::vector<ReportedServer>& rows)
{
    Counts c = CountRows(rows);
    std::vector<std::string> down = DownPools(rows);
    CheckVerdict verdict;
    std::string text = std::to_string(c.serving) + " of " + std::to_string(rows.size()) +
                       " servers serving";
    if (!down.empty()) {
        verdict.status = CHECK_CRITICAL;
        text = DownText(down) + text;
    } else {
        verdict.status = c.faults.empty() ? CHECK_OK : CHECK_WARNING;
    }
    text += NameList("", c.faults) + NameList(std::string(kStopped) + ": ", c.held);
    verdict.line = std::string("TARVEL ") + StatusWord(verdict.status) + " - " + text + " | " +
                   Perfdata(c, rows.size()) + "\n";
    return verdict;
}

#include "endpoints/ProcessMetrics.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace {

// /proc/<pid>/stat is one line of a few hundred bytes even with the longest
// command name; /proc/<pid>/limits about 1.5 KiB.
constexpr size_t kSmallFile = 8192;
// /proc/stat grows with the processors and interrupts; btime comes after
// them, so more is read, but never without a bound.
constexpr size_t kStatFile = 4 << 20;

// Returns up to `limit` bytes of the file, "" when it cannot be opened.
std::string ReadBounded(const std::string& path, size_t limit)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return "";
    std::string text;
    char buffer[4096];
    while (text.size() < limit) {
        ssize_t n = read(fd, buffer, std::min(sizeof buffer, limit - text.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

// Parses a whole unsigned decimal number; false on anything else.
bool ParseNumber(const std::string& word, double& value)
{
    if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::strtod(word.c_str(), nullptr);
    return true;
}

// The boot time in unix seconds from the "btime" line, or -1.
double BootTime(const std::string& procStat)
{
    std::istringstream lines(ReadBounded(procStat, kStatFile));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 6, "btime ") != 0)
            continue;
        double value = 0;
        return ParseNumber(line.substr(6), value) ? value : -1;
    }
    return -1;
}

// The fields of stat after the command name, which may itself hold spaces
// and parentheses: the last ')' ends it. Index 0 is field 3 (the state).
std::vector<std::string> StatFields(const std::string& procSelf)
{
    std::string text = ReadBounded(procSelf + "/stat", kSmallFile);
    size_t close = text.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos)
        return fields;
    std::istringstream words(text.substr(close + 1));
    std::string word;
    while (words >> word)
        fields.push_back(word);
    return fields;
}

void ReadStat(const std::string& procSelf, const std::string& procStat, ProcessMetrics& metrics)
{
    // Field numbers as proc(5) counts them.
    constexpr size_t kUtime = 14 - 3, kStime = 15 - 3, kStartTime = 22 - 3, kRss = 24 - 3;
    std::vector<std::string> fields = StatFields(procSelf);
    if (fields.size() <= kRss)
        return;
    const long ticks = sysconf(_SC_CLK_TCK);
    const long page = sysconf(_SC_PAGESIZE);
    double user = 0, system = 0, start = 0, rss = 0;
    if (ticks > 0 && ParseNumber(fields[kUtime], user) && ParseNumber(fields[kStime], system))
        metrics.cpuSeconds = (user + system) / static_cast<double>(ticks);
    if (page > 0 && ParseNumber(fields[kRss], rss))
        metrics.residentBytes = rss * static_cast<double>(page);
    double boot = BootTime(procStat);
    if (ticks > 0 && boot >= 0 && ParseNumber(fields[kStartTime], start))
        metrics.startTime = boot + start / static_cast<double>(ticks);
}

// Entries of fd/, without the one this count itself holds open.
double OpenFds(const std::string& procSelf)
{
    DIR* dir = opendir((procSelf + "/fd").c_str());
    if (dir == nullptr)
        return -1;
    const std::string own = std::to_string(dirfd(dir));
    double count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.' && own != entry->d_name)
            ++count;
    }
    closedir(dir);
    return count;
}

// The soft limit of "Max open files"; -1 when it is "unlimited" or unreadable.
double MaxFds(const std::string& procSelf)
{
    std::istringstream lines(ReadBounded(procSelf + "/limits", kSmallFile));
    std::string line;
    const std::string key = "Max open files";
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size(), key) != 0)
            continue;
        std::istringstream words(line.substr(key.size()));
        std::string soft;
        double value = 0;
        return words >> soft && ParseNumber(soft, value) ? value : -1;
    }
    return -1;
}

}  // namespace

ProcessMetrics ReadProcessMetrics(const std::string& procSelf, const std::string& procStat)
{
    ProcessMetrics metrics;
    ReadStat(procSelf, procStat, metrics);
    metrics.openFds = OpenFds(procSelf);
    metrics.maxFds = MaxFds(procSelf);
    return metrics;
}

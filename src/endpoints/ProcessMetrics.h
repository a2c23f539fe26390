// What the standard process_* metrics say about this process, read from
// /proc as the Prometheus client libraries read it.
#pragma once

#include <string>

// Each value is < 0 when it could not be read; the writer then leaves its
// sample out.
struct ProcessMetrics {
    double residentBytes = -1;  // process_resident_memory_bytes
    double cpuSeconds = -1;     // process_cpu_seconds_total: user + system
    double openFds = -1;        // process_open_fds
    double maxFds = -1;         // process_max_fds: the soft limit of open files
    double startTime = -1;      // process_start_time_seconds: unix seconds
};

// Returns the metrics of the process whose /proc directory is `procSelf`
// (its stat, fd/ and limits), with the boot time from `procStat`. Reads a
// bounded amount of each file; what cannot be read or parsed stays < 0.
// The directory handle it opens to count fd/ is not counted.
ProcessMetrics ReadProcessMetrics(const std::string& procSelf = "/proc/self",
                                  const std::string& procStat = "/proc/stat");

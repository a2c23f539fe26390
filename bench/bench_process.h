// Helpers of the memory benchmarks: run a command as a child of this (small)
// process and read what the kernel says about its memory.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

inline std::string selfPath()
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        std::perror("readlink /proc/self/exe");
        std::exit(2);
    }
    self[n] = '\0';
    return self;
}

// Runs argv to its end; returns its wait status and its peak resident set in
// KiB. The caller must be small: a child starts with its parent's pages, and
// the peak survives the exec.
inline int runMeasured(const std::vector<std::string>& argv, long* peakKb)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        execv(args[0], args.data());
        std::_Exit(127);
    }
    int status = 0;
    struct rusage usage;
    while (wait4(pid, &status, 0, &usage) < 0) {
    }
    *peakKb = usage.ru_maxrss;
    return status;
}

// A "Name:   123 kB" line of /proc/<pid>/status, in KiB; -1 when absent.
inline long procStatusKb(pid_t pid, const char* name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string prefix = std::string(name) + ":";
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::atol(line.c_str() + prefix.size());
    return -1;
}

}  // namespace bench

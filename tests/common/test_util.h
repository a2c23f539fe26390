// Small helpers shared by the tests: temporary directories, files, bounded
// polling, child processes and ports on 127.0.0.1.
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with its content at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return mPath; }
    std::string operator/(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
void MakeDirs(const std::string& path);
void CopyFile(const std::string& from, const std::string& to, bool executable = false);
std::vector<std::string> ReadLines(const std::string& path);
// Number of lines of the file that contain the text.
int CountLinesContaining(const std::string& path, const std::string& text);

// Sets (or, with a null value, unsets) an environment variable for one scope
// and restores what was there before.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string mName;
    bool mHad;
    std::string mOld;
};

// The messages of a log file's lines, without time, host and pid; only those
// that start with `prefix` when one is given.
std::vector<std::string> LogMessages(const std::string& path, const std::string& prefix = "");

// Runs work and returns the exception of type E it threw; a test failure
// (and a default E built from `fallback`) when it threw none.
template <class E, class F, class... Fallback>
E Throws(F work, Fallback... fallback)
{
    try {
        work();
    } catch (const E& e) {
        return e;
    }
    ADD_FAILURE() << "expected exception not thrown";
    return E(fallback...);
}

// Polls the predicate every stepMs until it holds or timeoutMs have passed.
bool WaitUntil(const std::function<bool()>& predicate, int timeoutMs, int stepMs = 20);

// Makes this process the reaper of orphaned descendants (daemons after
// -start, servers of a killed supervisor), so that their ends can be seen.
void BecomeSubreaper();
// Reaps every ended child without blocking; returns how many were reaped.
int ReapChildren();
// The state letter of /proc/<pid>/stat (R, S, T, Z...); '?' when it cannot be read.
char ProcessStateOf(pid_t pid);
// True while the process exists and is not a zombie.
bool ProcessRunning(pid_t pid);
// The value of a "Name:\tvalue" line of /proc/<pid>/status; empty if none.
std::string StatusField(pid_t pid, const std::string& name);
// The cgroup v2 directory this process is in, or "" without one.
std::string OwnCgroupDir();
// A new cgroup `name` below this process's own; "" when none may be made.
std::string MakeChildCgroup(const std::string& name);
// SIGKILL and reap (if it is ours); bounded.
void KillAndReap(pid_t pid);
// Runs `work` in a child process that has become the user `user` (this
// process must be root) and returns what it returned; "" when the child could
// not become that user or failed. Waits for the child, without a limit of its own.
std::string RunAsUser(const std::string& user, const std::function<std::string()>& work);

// A TCP port on 127.0.0.1 that was free a moment ago.
unsigned short FreePort();
// True if something accepts connections on 127.0.0.1:port.
bool PortOpen(unsigned short port);
// A connected TCP socket to 127.0.0.1:port (close-on-exec), or -1.
int ConnectLoopback(unsigned short port);

// Runs a program and collects its exit status, stdout and stderr; the
// environment is the current one with `env` entries (NAME=VALUE) added or
// replaced. Gives up (SIGKILL) after timeoutMs.
struct RunResult {
    int exitCode = -1;  // -1 when killed by a signal or timed out
    std::string out;
    std::string err;
    bool timedOut = false;
};
RunResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
              int timeoutMs = 30000);

// Starts a program in the background with stdout/stderr sent to files; with
// newGroup it leads a process group of its own, as a shell's foreground job.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
            const std::string& outFile = "/dev/null", const std::string& errFile = "/dev/null",
            bool newGroup = false);

}  // namespace testutil

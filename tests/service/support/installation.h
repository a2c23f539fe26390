// A temporary installation of tarvelsvc for end-to-end tests: its own copy
// of the binary (the shared PID list is keyed by the executable's path), the
// demo's application server, configuration serving 127.0.0.1 on two free
// ports, and a log directory. Everything it started is ended at the end.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/service_copy.h"
#include "common/test_util.h"

namespace svctest {

class Installation {
public:
    Installation();
    ~Installation();

    const std::string& dir() const { return mDir.path(); }
    const std::string& exe() const { return mCopy.exe(); }
    const std::string& log() const { return mCopy.log(); }
    unsigned short port(int i) const { return mPorts[i]; }
    testutil::ServiceCopy& copy() { return mCopy; }

    // The TARVEL_* environment of this installation.
    std::vector<std::string> env() const;

    // Runs the binary with these arguments and waits for it.
    testutil::RunResult Ctl(const std::vector<std::string>& args,
                            const std::vector<std::string>& env = {}, int timeoutMs = 90000);
    // Starts `tarvelsvc -console` as a child of the test, leading its own
    // process group like a shell's foreground job.
    pid_t StartConsole(const std::vector<std::string>& env = {});

    // Pids of the application servers of this installation now running.
    std::vector<pid_t> Servers() const;
    // Waits until both servers answer HTTP.
    bool WaitForServers(int timeoutMs = 15000) const;
    bool WaitForLog(const std::string& text, int count = 1, int timeoutMs = 15000) const;
    int CountLines(const std::string& text) const;
    int LineOf(const std::string& text, int from = 0) const;

private:
    testutil::TempDir mDir;
    unsigned short mPorts[2];
    testutil::ServiceCopy mCopy;
};

// GET / from 127.0.0.1:port; the whole reply, or "" if nothing answered.
std::string HttpGet(unsigned short port);

}  // namespace svctest

// A throw-away installation in a temporary directory: base, perl, cartridges
// (with the demo's appsrv.pl), config and log directories, and log/Service.log.
//
// It serves two kinds of test:
//   Use::InProcess  the code under test runs in this process. The TARVEL_*
//                   variables are set here and the process log goes to
//                   log/Service.log. bin/perl is a stub (below) unless
//                   Perl::System is asked for. No configuration is written.
//   Use::Binary     the tests run a private copy of tarvelsvc (the shared PID
//                   list is keyed by the executable's path) with env(). bin/perl
//                   is the system perl, the configuration is the demo's with
//                   127.0.0.1 on two free ports. Every process whose command
//                   line names the directory is ended at the end.
//
// The stub perl is a shell script driven by variables the started children
// inherit:
//   STUB_STOP=1      stop itself with SIGSTOP first (one exec, nothing else)
//   STUB_ARGS=file   write $0 and every argument, one per line, to file
//   STUB_SIGNAL=sig  kill itself with sig
//   STUB_EXIT=n      exit with code n
//   STUB_IGNORE_TERM=1  ignore SIGTERM (also as the "sleep 1000" below)
//   otherwise        become "sleep 1000"
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "common/service_copy.h"
#include "common/test_util.h"

namespace testutil {

class Installation {
public:
    enum class Use { InProcess, Binary };
    enum class Perl { Stub, System };

    explicit Installation(Use use = Use::InProcess);
    Installation(Use use, Perl perl);
    ~Installation();
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    const std::string& dir() const { return mDir.path(); }
    std::string path(const std::string& name) const { return mDir / name; }
    std::string perl() const { return mDir / "perl/bin/perl"; }
    std::string script() const;
    std::string log() const { return mDir / "log/Service.log"; }

    // The TARVEL_* environment of this installation, as NAME=VALUE entries.
    std::vector<std::string> env() const;

    void writeWebInterfaceConf(const std::string& text) const;
    // ServerConfig.xml of the demo's shape with one pool of application
    // servers; each entry of appservers is an <appserver .../> element.
    void writeServerConfig(const std::vector<std::string>& appservers) const;

    // Log lines whose message (the text after "[pid] ") is exactly `message`.
    int countMessage(const std::string& message) const;
    std::vector<std::string> messages() const { return LogMessages(log()); }
    bool WaitForLog(const std::string& text, int count = 1, int timeoutMs = 15000) const;
    int CountLines(const std::string& text) const { return CountLinesContaining(log(), text); }
    // Index of the first log line from `from` on that contains `text`, or -1.
    int LineOf(const std::string& text, int from = 0) const;

    // Use::Binary only: the private copy, its ports and how to run it.
    const std::string& exe() const { return mCopy->exe(); }
    ServiceCopy& copy() { return *mCopy; }
    unsigned short port(int i) const { return mPorts[i]; }
    // Runs the binary with these arguments and waits for it; `env` entries
    // replace those of env() with the same name, a bare NAME removes one.
    RunResult Ctl(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                  int timeoutMs = 90000);
    // The JSON object of the server on `port` in -servers -json, without its
    // closing brace; "" when there is none.
    std::string ServerObject(unsigned short port);
    // Its "pid" there; 0 when none.
    pid_t ServerPid(unsigned short port);
    // Runs -start (with `env` as for Ctl) and waits for a daemon other than
    // `previous` and for both servers to serve; its pid, or 0 after a test
    // failure that says why.
    pid_t StartDaemon(const std::vector<std::string>& env = {}, pid_t previous = 0);
    // Starts `tarvelsvc -console` as a child of the test, leading its own
    // process group like a shell's foreground job.
    pid_t StartConsole(const std::vector<std::string>& env = {});
    // Pids of the application servers of this installation now running.
    std::vector<pid_t> Servers() const;
    // Waits until both servers answer HTTP.
    bool WaitForServers(int timeoutMs = 15000) const;

private:
    void writeDemoConfig() const;

    Use mUse;
    TempDir mDir;
    unsigned short mPorts[2] = {0, 0};
    std::unique_ptr<ServiceCopy> mCopy;
};

// GET / from 127.0.0.1:port; the whole reply, or "" if nothing answered.
std::string HttpGet(unsigned short port);

}  // namespace testutil

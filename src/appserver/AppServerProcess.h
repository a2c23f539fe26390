// One supervised application server process: its command line, how it is
// started (and throttled when it keeps failing fast), and the bookkeeping of
// its end. Ends are reaped by a SIGCHLD handler into the fixed table
// termProcs, which the supervision loop drains with all signals blocked.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <time.h>

#include <string>

// A child process with its command line. A plain value: records are copied
// and moved when the table grows, so no virtual operations.
class Process {
public:
    pid_t mPid = 0;         // child of the last successful start
    int mStatus = 0;        // raw wait status of the last end
    int mState = -1;        // -1 never started / fork failed, 1 running, 0 ended or stopped
    time_t mStartTime = 0;  // time of the last start attempt
    int mFailCount = 0;     // quick failures in a row
    std::string mCommand;   // whole command line, words separated by one blank
    std::string mBaseDir;   // installation base directory, kept with the record

    // Starts the process unless it runs or the throttle holds it back.
    // Throws CWIException when fork fails.
    void restart();
    // Bookkeeping for one reaped child of this record (drain only).
    void updateTerminated(int status, time_t when);

protected:
    Process() = default;
};

class AppServerProcess : public Process {
public:
    // Builds the command from TARVEL_PERL, the options, TARVEL_CARTRIDGES,
    // host, port and bind; throws the environment exception when a directory
    // variable is missing.
    AppServerProcess(const std::string& baseDir, const std::string& options,
                     const std::string& host, unsigned short port, int bind);

    unsigned short mPort;
    std::string mHost;
};

// Children reaped by the SIGCHLD handler and not yet drained. Only the handler
// appends; only the drain removes, with all signals of its thread blocked, so
// the two never overlap.
struct TermProc {
    pid_t pid;
    int status;
    time_t time;
};

enum { TERMPROCS_SIZE = 2000 };

struct TermProcs {
    volatile int count;
    TermProc entries[TERMPROCS_SIZE];
};

extern TermProcs termProcs;

// Installs the SIGCHLD handler that reaps into termProcs; throws CWIException
// with the messages of CAppServerManagerImpl::buildTables on failure.
void InstallChildHandler();

// Blocks every signal of the calling thread for the lifetime of the scope and
// unblocks all of them at its end, whatever the mask was before.
class CBlockAllSignals {
public:
    CBlockAllSignals();
    ~CBlockAllSignals();
    CBlockAllSignals(const CBlockAllSignals&) = delete;
    CBlockAllSignals& operator=(const CBlockAllSignals&) = delete;

private:
    sigset_t mSet;
};

// One supervised application server process: its command line, how it is
// started (and throttled when it keeps failing fast), and the bookkeeping of
// its end. The records live in the manager's table (AppServerManager.h),
// which is the only place their state changes, on the service thread.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <string>

// Where a server stands. The values of the first three are those the table
// always had.
enum class ServerState : int {
    NotStarted = -1,  // never started, or its last fork failed
    Ended = 0,        // ended and reaped, or stopped
    Running = 1,      // its child runs (or has ended and is not yet reaped)
    Stopping = 2,     // the hard stop signalled it; its end is awaited
};

// A short lower-case name of the state ("not started", "ended", "running",
// "stopping"), for messages and the control plane.
const char* ServerStateName(ServerState state);

// A child process with its command line. A plain value: records are copied
// and moved when the table grows, so no virtual operations.
class Process {
public:
    pid_t mPid = 0;  // child of the last successful start
    int mStatus = 0;  // raw wait status of the last end
    ServerState mState = ServerState::NotStarted;
    time_t mStartTime = 0;  // time of the last start attempt
    int mFailCount = 0;     // quick failures in a row
    unsigned mRestarts = 0;  // successful starts after the first one
    time_t mEndTime = 0;     // when the last end was reaped; 0: never ended
    bool mThrottleLogged = false;  // the throttle's start was logged for this hold
    bool mHeld = false;      // stopped by the operator: not started until released
    std::string mCommand;   // whole command line, words separated by one blank
    std::string mBaseDir;   // installation base directory, kept with the record
    std::string mOutputFile;  // the child's stdout and stderr; empty: inherited

    // Starts the process unless it runs, the operator stopped it, or the
    // throttle holds it back.
    // Throws CWIException when fork fails.
    void restart();
    // Bookkeeping for one reaped child of this record: state, status, end
    // time, the quick-failure count and the line that tells how it ended.
    void updateTerminated(int status, time_t when);

    // True while the throttle holds back the next start.
    bool throttled(time_t now) const;
    // The moment (time(), whole seconds) at which the loop must look at this
    // record again without any other event: the end of a throttle hold, a
    // retry after a failed fork, or the minute after which a restarted
    // throttled server counts as running again. 0 when there is none.
    time_t nextDeadline() const;
    // Forgets the quick failures of a throttled server that has now run for
    // a minute, with a log line; false when there was nothing to lift.
    bool liftThrottle(time_t now);
    // Sends signal and SIGCONT to the running child and marks it Stopping;
    // SIGCONT too: a stopped child would keep the signal pending for ever.
    // Only for a record that is Running with its own unreaped child.
    void terminate(int signal);

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

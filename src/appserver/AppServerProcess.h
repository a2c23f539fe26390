// One supervised application server: its command line and the one machine
// that moves it through its states (ServerState.h). The records live in the
// manager's table (AppServerManager.h) and change only on the service
// thread, through the transitions below; every field is public for reading.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "appserver/Probes.h"
#include "appserver/ServerState.h"

class AppServerProcess {
public:
    using Clock = std::chrono::steady_clock;

    // Builds the command from TARVEL_PERL, the options, TARVEL_CARTRIDGES,
    // host, port and bind; throws the environment exception when a directory
    // variable is missing.
    AppServerProcess(const std::string& baseDir, const std::string& options,
                     const std::string& host, unsigned short port, int bind);

    unsigned short mPort;
    std::string mHost;
    std::string mPool;        // the ServerConfig.xml pool the server belongs to
    std::string mCommand;     // whole command line, words separated by one blank
    std::string mNextCommand; // replaces mCommand at the next start; empty: none
    std::string mBaseDir;     // installation base directory, kept with the record
    std::string mOutputFile;  // the child's stdout and stderr; empty: inherited
    uint64_t mId = 0;         // set by the table, unique for the manager's life

    ServerState mState = ServerState::Down;
    StopPurpose mPurpose = StopPurpose::None;
    // The one moment at which the record must be looked at without any other
    // event; a Down record starts once it has come. max(): none.
    Clock::time_point mDeadline{};
    pid_t mPid = 0;            // child of the last successful start
    int mStatus = 0;           // raw wait status of the last end
    time_t mStartTime = 0;     // wall time of the last start attempt, for the operator
    Clock::time_point mStarted{};  // the same on the steady clock, for the throttle
    int mFailCount = 0;        // quick failures in a row
    unsigned mRestarts = 0;    // successful starts after the first one
    time_t mEndTime = 0;       // when the last end was reaped; 0: never ended
    bool mThrottleLogged = false;  // the throttle's hold was logged for this run of failures
    int mSendStatus = 0;       // status of the last shutdown request's send
    std::string mFailure;      // how the last failure went ("exit 2", "did not accept
                               // connections within 60 s"); empty: none yet
    double mReadySeconds = -1; // from the last start to serving; -1: not serving since
    unsigned mProbeFailures = 0;  // liveness probes failed in a row
    bool mChanged = false;     // moved since the manager last looked (it clears this)

    // How the manager supervises it (the settings of tarvelsvc.conf).
    bool mProbed = false;      // readiness is probed; otherwise a fork counts as serving
    std::chrono::seconds mStartTimeout{60};
    unsigned mProbeLimit = 3;  // liveness failures in a row that restart it
    ProbeTarget mTarget;       // where it is probed; resolved when the table is built
    uint64_t mRequest = 0;     // the shutdown request in flight (StopRequests serial); 0: none

    // True when the record is Down and its deadline has come.
    bool startDue(Clock::time_point now) const;
    // Forks and execs the command (Forked, with its log line); without a
    // readiness probe the process counts as serving at once (Ready). Throws
    // CWIException when fork fails, after the record took ForkFailed.
    void start(Clock::time_point now);
    // Its readiness probe connected: it serves (with the log line that says
    // how long that took).
    void onReady(Clock::time_point now);
    // A liveness probe's result; true when the failures reached the limit and
    // the shutdown request must now be sent (as for requestStop).
    bool onProbe(bool ok, const std::string& reason, Clock::time_point now);
    // Its child ended with `status` and was reaped; logs how, unless it was
    // being stopped.
    void onEnd(int status, Clock::time_point now);
    // The deadline has come: the throttle ends or is lifted, the stop
    // escalates, a start that never served is given up. True when the
    // shutdown request must now be sent (as for requestStop).
    bool onDeadline(Clock::time_point now);
    // Asks for a stop with `purpose`; true when the shutdown request must now
    // be sent (the caller hands it to a thread and reports onRequestDone).
    // A record being stopped already keeps its sequence and takes the purpose.
    bool requestStop(StopPurpose purpose, Clock::time_point now);
    // The request's thread is done: `sent` when it went out, with the send's
    // status; otherwise the hard stop follows at once.
    void onRequestDone(bool sent, int sendStatus, Clock::time_point now);
    // The operator starts a server that is not running: no hold, no throttle.
    void release(Clock::time_point now);

    // True while the throttle holds back the next start.
    bool throttled() const { return mState == ServerState::Throttled; }
    // True while it serves: it accepts connections (or is not probed).
    bool serving() const
    {
        return mState == ServerState::Running || mState == ServerState::NotAnswering;
    }
    // The wall time at which a throttled record starts again; 0 when none.
    time_t throttledUntil() const;

private:
    // Moves the record by the table and carries out the action; returns the
    // action it leaves to the caller (SendRequest) or None.
    ServerAction apply(ServerEvent event, Clock::time_point now);
    void carryOut(ServerAction action, ServerState from, ServerEvent event);
    // Sends `signal` (and SIGCONT) only to an unreaped child of ours; false
    // when the pid is none.
    bool signalChild(int signal);
    // The line of a shutdown request that did not end the server.
    void reportFailedShutdown() const;
    // What the lines of a stop's later steps begin with, by its purpose.
    std::string stopPrefix() const;
    // Counts the end or the failed fork as a quick failure or resets the count.
    void countFailure(bool failure, Clock::time_point now);
    ServerFacts facts() const;
};

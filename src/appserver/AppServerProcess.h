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
#include <vector>

#include "appserver/ServerState.h"
#include "foundation/TreeContainment.h"
#include "endpoints/NotifySocket.h"
#include "endpoints/Probes.h"
#include "foundation/StopTimes.h"

class ServerTrees;

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
    Announcement mAnnounced = Announcement::None;  // the last row's, until the manager takes it
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
    // Set by a pass that starts several: the launch does not wait for the
    // exec, which the pass finishes at its end.
    bool mOverlapStart = false;
    std::chrono::seconds mStartTimeout = stoptimes::kStartTimeout;
    unsigned mProbeLimit = 3;  // liveness failures in a row that restart it
    ProbeTarget mTarget;       // where it is probed; resolved when the table is built
    uint64_t mRequest = 0;     // the shutdown request in flight (StopRequests serial); 0: none
    std::chrono::seconds mStopTimeout = stoptimes::kRequestWait;  // after the request
    std::chrono::seconds mKillTimeout = stoptimes::kSignalWait;   // after SIGTERM, after SIGKILL
    // The manager's trees (not owned): signals go to the whole tree, and a
    // start goes into its cgroup. Null: only the leader is signalled.
    ServerTrees* mTrees = nullptr;
    bool mLeaderGone = false;  // its leader was reaped; the rest of its tree is being stopped
    bool mEndLogged = false;   // the end of this run was logged already
    TreeFigures mFigures;      // the tree's last reading
    bool mMeasured = false;    // mFigures belong to the running tree
    unsigned long mRecycles = 0;  // recycles for the memory limit
    int mOverLimit = 0;        // readings over the memory limit in a row
    std::string mForeignHolder;  // "pid N (comm)" holding its port; empty: none seen

    // The notification socket (NotifyRecord.cpp). Its settings, from the manager:
    std::string mNotifySocket;       // NOTIFY_SOCKET for its starts; empty: none
    bool mHearsReady = false;        // its READY=1 makes it serving
    uint64_t mWatchdogSetting = 0;   // WATCHDOG_USEC for its starts; 0: no watchdog
    // What its process said, forgotten at each start:
    bool mHasStatus = false;         // it sent a STATUS=
    std::string mStatusText;         // the last STATUS= text
    bool mStoppingNotified = false;  // it sent STOPPING=1
    uint64_t mWatchdogUsec = 0;      // its watchdog now (it may send WATCHDOG_USEC=)
    // While it serves with a watchdog: when it fails without a WATCHDOG=1. max(): none.
    Clock::time_point mWatchdogDeadline = Clock::time_point::max();

    // The handlers below hand one event (with its argument) to the table
    // and carry out the row that matches (ServerState.cpp); the row's
    // announcement waits in mAnnounced for the manager.

    // The deadline has come: a down record starts (fork and exec; without a
    // readiness probe it serves at once), the throttle ends or is lifted,
    // the stop escalates, a start that never served is given up. True when
    // the shutdown request must now be sent (as for requestStop). Throws
    // CWIException when fork fails, after the record took ForkFailed. With
    // `later`, the log lines go there instead, for the caller to write.
    bool onDeadline(Clock::time_point now, std::vector<std::string>* later = nullptr);
    // The start row now, for a down record whatever its deadline (tests).
    void start(Clock::time_point now) { onDeadline(now); }
    // Its readiness probe connected: it serves (with the log line that says
    // how long that took).
    void onReady(Clock::time_point now);
    // A liveness probe's result; true when the failures reached the limit and
    // the shutdown request must now be sent (as for requestStop).
    bool onProbe(bool ok, const std::string& reason, Clock::time_point now);
    // Its child ended with `status` and was reaped; logs how, unless it was
    // being stopped. With `later`, the log lines go there instead, for the
    // caller to write once the pass's starts are made.
    void onEnd(int status, Clock::time_point now, std::vector<std::string>* later = nullptr);
    // Its leader ended with `status` (held, not reaped yet) and `left` of
    // its tree outlived it: they are signalled, and onEnd follows once the
    // tree is empty. Lines go to `later` as for onEnd.
    void onLeaderEnd(int status, const std::vector<pid_t>& left, Clock::time_point now,
                     std::vector<std::string>* later = nullptr);
    // Asks for a stop with `purpose`; true when the shutdown request must now
    // be sent (the caller hands it to a thread and reports onRequestDone).
    // A record being stopped already keeps its sequence (TakenPurpose).
    bool requestStop(StopPurpose purpose, Clock::time_point now);
    // The request's thread is done: `sent` when it went out, with the send's
    // status; otherwise the hard stop follows at once.
    void onRequestDone(bool sent, int sendStatus, Clock::time_point now);
    // The operator starts a server that is not running: no hold, no throttle.
    void release(Clock::time_point now);
    // A reload takes the server back while its removal runs: it restarts.
    void readmit(Clock::time_point now);
    // A message its process sent on the notification socket; true when it
    // now must be stopped and the shutdown request sent (as for requestStop).
    bool onNotify(const NotifyEvent& event, Clock::time_point now);
    // Its watchdog's deadline passed while it serves; true as for onNotify.
    bool onWatchdogMissed(Clock::time_point now);

    // True while the throttle holds back the next start.
    bool throttled() const { return mState == ServerState::Throttled; }
    // True while it serves: it accepts connections (or is not probed).
    bool serving() const
    {
        return mState == ServerState::Serving || mState == ServerState::NotAnswering;
    }
    // True when its process outlived SIGKILL and the stop has nothing left
    // to do but wait for the kernel.
    bool stuck() const
    {
        return mState == ServerState::Killing && mDeadline == Clock::time_point::max();
    }
    // The wall time at which a throttled record starts again; 0 when none.
    time_t throttledUntil() const;

private:
    // What an event brings with it.
    struct Argument {
        StopPurpose purpose = StopPurpose::None;  // Stop
        int status = 0;                           // End: the wait status
        bool lost = false;                        // End: not a child of ours any more
        std::string reason;                       // ForkFailed, ProbeFailed
        double seconds = 0;                       // Ready: since the start
        std::vector<pid_t> left;                  // Outlived: what is left of the tree
    };
    // Moves the record by the table and carries out the row's actions;
    // returns the row's actions (the caller carries out kSendRequest).
    unsigned apply(ServerEvent event, Clock::time_point now, const Argument& argument);
    unsigned apply(ServerEvent event, Clock::time_point now) { return apply(event, now, Argument()); }
    ServerFacts facts(ServerEvent event, Clock::time_point now, const Argument& argument) const;
    void carryOut(unsigned action, Clock::time_point now, const Argument& argument);
    void carryOutStop(unsigned action, const Argument& argument);
    void carryOutNotify(unsigned action, Clock::time_point now);
    // A new process has said nothing yet.
    void forgetNotices();
    void launch(Clock::time_point now);
    // The line of an end that was not asked for, by its wait status.
    void LogEnd(int status);
    // Writes one log line, or keeps it for the caller of onEnd.
    void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Sends `signal` (and SIGCONT) only to an unreaped child of ours; false
    // when the pid is none.
    bool signalChild(int signal);
    // Sends `signal` to the whole tree (mTrees), else as signalChild.
    bool signalTree(int signal);
    // "; port P is held by pid N (comm), which is not this server" when a
    // foreign holder of its port was seen since its start; else "".
    std::string heldBy() const;
    // The line naming what outlived the leader.
    void sayOutlived(const std::vector<pid_t>& left);
    // What the lines of a stop's later steps begin with, by its purpose.
    std::string stopPrefix() const;
    // Counts the end or the failed fork as a quick failure or resets the count.
    void countFailure(bool failure, Clock::time_point now);

    std::vector<std::string>* mLater = nullptr;  // onEnd's caller keeps the lines
};

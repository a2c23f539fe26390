// The manager through which the service drives every application server of
// this host: the list of local addresses, the table of server records built
// from the configuration, the one wait of the supervision loop, and every
// operation that changes the table: the supervision itself, the full stop,
// the operator's stop, start and restart of one server, and the reload.
// Nothing else writes the table; all of it runs on the service thread.
//
// Its methods live by group in one file each:
//   AppServerManager.cpp  construction, the address list, the settings
//   ServerTable.cpp       buildTables, loadTable: the table from the configuration
//   Supervision.cpp       the loop: startServers, the one wait, reaping, the
//                         shutdown requests' threads, probes' results, deadlines
//   OperatorRequests.cpp  lookup, settle (announcements to waiters, probes),
//                         the operator's stop, start and restart
//   FullStop.cpp          stopServers and its progress lines
//   TreeReaping.cpp       contain, and the ends of the servers' trees: leaders
//                         held until their tree is signalled, adopted orphans
//   ReloadApply.cpp       applyReload: what a reload's plan changes at once
//   RollingReload.cpp     reload: the rolling restarts, the summary
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "appserver/AppServerProcess.h"
#include "foundation/EventLoop.h"
#include "appserver/ReloadPlan.h"
#include "appserver/ServerTrees.h"
#include "config/ServiceSettings.h"
#include "endpoints/Probes.h"

class StopRequests;

class CAppServerManager {
public:
    using Clock = std::chrono::steady_clock;

    // What became of an operator's request on one server, told once: the
    // announcement of the row that ended it (Started, Failed with the
    // record's mFailure, Stopped, Removed).
    using Outcome = Announcement;
    using Waiter = std::function<void(Outcome, const AppServerProcess&)>;
    // How an operator's request was taken.
    enum class Request {
        Accepted,        // under way; the waiter hears of its end
        NoServer,        // no record has that address and port
        Busy,            // the record is being stopped or started already
        AlreadyRunning,  // start: it runs
        AlreadyHeld,     // stop: it was not running; it is held now
        Deferred,        // restart with a command: it does not run now (or is busy);
                         // its next start runs the new command
    };

    // Reads the base directory; throws when TARVEL is not set.
    CAppServerManager();
    // Sends SIGTERM and SIGCONT to every server still running; does not wait.
    ~CAppServerManager();
    CAppServerManager(const CAppServerManager&) = delete;
    CAppServerManager& operator=(const CAppServerManager&) = delete;

    void setIPList(const char* list);
    void setIPList(const std::vector<std::string>& list);
    // Keeps the text (null: the local addresses); buildTables first sets the
    // address list from it as setIPList(const char*) does, and throws what
    // that throws.
    void setIPListLater(const char* list);
    // Each server's standard output and error go to AppServer_<address>_<port>.log
    // in this directory, opened by the server's process before it runs the
    // command. Set before buildTables.
    void setServerOutputDir(const std::string& dir);
    // How servers are probed (tarvelsvc.conf): for every record, now and
    // added later. Without it nothing is probed: a fork counts as serving.
    void setSettings(const ServiceSettings& settings);
    const ServiceSettings& settings() const { return mSettings; }
    // Contains the servers' trees from now on, as CONTAINMENT (settings)
    // says: logs the mode chosen, makes the service the reaper of orphans,
    // and stops what an earlier service left of its trees. Call once, after
    // setSettings and buildTables, before the first start. Throws
    // CWIException when cgroup is asked for and cannot be had.
    void contain();
    // Reads the trees' figures now unless they were read within the last
    // second (for -servers; a scrape shows the last reading).
    void refreshFigures();
    // The trees (their containment); null before contain.
    const ServerTrees* trees() const { return mContained ? mTrees.get() : nullptr; }
    // Fills the table from WebInterface.conf, ServerConfig.xml and the
    // address list; call once. The loop's signals are set up by its first
    // use (startServers or a wait), before the first child.
    void buildTables();
    // The table that WebInterface.conf, ServerConfig.xml and the address list
    // give now, fully validated, without touching the running one. Throws
    // what buildTables throws for a configuration error or an empty table;
    // strict, also for any line of WebInterface.conf that a start would
    // only log (refused, unknown key or section).
    std::vector<AppServerProcess> loadTable(bool strict = false) const;
    // Carries out the start row of every record that is down and due
    // (throttled ones wait), then writes the lines of the ends the last
    // wait reaped; never throws.
    void startServers();

    // The one wait of the supervision loop: blocks until a child ends, a
    // signal arrives, a record's deadline comes, a shutdown request is done,
    // a source's descriptor or deadline fires, or `milliseconds` have passed,
    // whichever is first; then hands every event to its record and
    // dispatches the sources. Starts nothing: the next startServers does,
    // and writes the lines of the ends reaped here after its forks (this
    // one writes them at once; waitForEvents leaves them to startServers).
    // Throws CWIException when the signals cannot be set up.
    void waitAndUpdateTerminated(unsigned milliseconds);
    // The same without a time limit: with nothing to do, the service sleeps here.
    void waitForEvents();

    // The full stop: every record enters the stop sequence (the shutdown
    // request, 30 s, SIGTERM and SIGCONT, 5 s, SIGKILL, 5 s) at once, and the
    // loop runs until no server is left or the last ones outlived SIGKILL.
    // Nothing starts again afterwards. True when no server is left running.
    bool stopServers();

    // The operator's requests on the server at host:port. Each logs what it
    // does; `waiter` (may be empty) hears once how it ended.
    Request stopServer(const std::string& host, unsigned short port, Waiter waiter);
    Request startServer(const std::string& host, unsigned short port, Waiter waiter);
    // A restart of a running server: the stop sequence, then a start. With
    // `command` not empty, the new start runs it (a reload's rolling restart).
    Request restartServer(const std::string& host, unsigned short port,
                          const std::string& command, Waiter waiter);
    // The next start of the server at host:port runs `command`; the running
    // process is left alone.
    void deferCommand(const std::string& host, unsigned short port, const std::string& command);
    // Nobody waits any more for any request.
    void forgetWaiters();

    // How a reload goes, as its caller hears it: `lines` to pass on; `done`
    // with the last ones (the summary), `ok` false when a rolling restart
    // stopped at a server that does not serve.
    using ReloadListener = std::function<void(const std::string& lines, bool done, bool ok)>;
    // Carries out `plan`: adds the new servers, removes those without a
    // process at once and the others with their process's end, gives
    // changed servers that do not run their new command, and restarts the
    // changed servers that run one at a time, each once the one before
    // serves, so that a pool keeps serving. Each step advances on the
    // announcement of the one before. Logs each change.
    void reload(const ReloadPlan& plan, ReloadListener listener);
    // True while a reload runs.
    bool reloading() const { return mReload != nullptr; }
    // Nobody hears of the running reload any more; it ends where it is.
    void forgetReload();

    // The notification socket (NotifyEvents.cpp), not owned: its path goes
    // to the servers that hear it (READINESS notify or tcp+notify,
    // LIVENESS=watchdog), its drops to the metrics. Null: none.
    void setNotifySocket(const NotifySocket* socket);
    const NotifySocket* notifySocket() const { return mNotifySocket; }
    // The record whose process tree holds `sender` (its process or a member
    // of its session); 0 for none.
    uint64_t serverOfSender(pid_t sender) const;
    // Hands the socket's events to their records, then fails each serving
    // record whose watchdog passed.
    void takeNotices(const std::vector<NotifyEvent>& events, Clock::time_point now);
    // The earliest watchdog of a serving record; max() for none.
    Clock::time_point nextWatchdog() const;

    // Plugs a source into the one wait (see EventLoop.h); not owned.
    void addSource(LoopSource* source);
    void removeSource(LoopSource* source);

    // The records, for reading on the service thread.
    const std::vector<AppServerProcess>& processes() const { return mProcesses; }
    const AppServerProcess* find(const std::string& host, unsigned short port) const;
    const std::vector<std::string>& ipList() const { return mIPList; }
    // Grows whenever a record changed its state or came or went: views of
    // the table are made again only when it moved.
    unsigned long changes() const { return mChanges; }

private:
    // Tests reach the table through this one seam (tests/appserver/manager_peer.h).
    friend struct ManagerTestPeer;

    void wait(Clock::time_point limit);
    AppServerProcess* findRecord(uint64_t id);
    AppServerProcess* findRecord(const std::string& host, unsigned short port);
    // The one prelude of the operator's requests: the record at host:port
    // (null: none), and in `busy` whether a request runs on it already.
    AppServerProcess* requestable(const std::string& host, unsigned short port, bool& busy);
    Request start(AppServerProcess& record, Waiter waiter);
    // The stop of one record with `purpose`: its request goes to a thread.
    void beginStop(AppServerProcess& record, StopPurpose purpose, Clock::time_point now);
    // Hands the record's shutdown request to a thread (StopRequests).
    void queueRequest(AppServerProcess& record);
    void setCommand(AppServerProcess& record, const std::string& command);
    // What the rows left to the table: the probes follow the new states,
    // each announcement goes to the record's waiter, a removed record goes.
    void settle(Clock::time_point now);
    // Tells the record's waiter `outcome`; the waiter goes.
    void announce(const AppServerProcess& record, Outcome outcome);
    // Reaps every ended child into its record; true when one was a record's.
    // The end lines go to `later`, written once the pass's starts are made.
    bool reapChildren(Clock::time_point now, std::vector<std::string>* later);
    // The same with contained trees: a leader's zombie is held until what
    // is left of its tree is signalled, adopted orphans are reaped for their
    // server, and a record ends once its tree is empty.
    bool reapTrees(Clock::time_point now, std::vector<std::string>* later);
    // The end of child `pid` with wait `status`, as a look without reaping
    // found it: its record's leader, or an adopted orphan reaped here
    // (*stuck when it could not be); true when a record's.
    bool takeTreeEnd(pid_t pid, int status, Clock::time_point now, std::vector<std::string>* later,
                     bool* stuck);
    bool leaderEnded(AppServerProcess& record, int status, Clock::time_point now,
                     std::vector<std::string>* later);
    // A readiness probe's success counts only when the listener is the
    // server's own; a foreign holder is logged once.
    bool servesItself(AppServerProcess& record);
    // Reads every tree's figures, then recycles what is over its memory limit.
    void account(Clock::time_point now);
    void recycleOverLimit(Clock::time_point now);
    // True when `record` may be recycled now: no other server of its pool
    // is being recycled or does not serve.
    bool poolAllowsRecycle(const AppServerProcess& record) const;
    // A running reload (RollingReload.cpp).
    struct Rollout {
        ReloadListener listener;
        std::deque<ReloadPlan::Change> rolling;  // restarts not yet begun, in plan order
        bool rollingNow = false;                 // one runs: the pool keeps serving
        bool failed = false;                     // the rollout stopped at a failure
        unsigned removing = 0;                   // removals waiting for their server's end
        unsigned added = 0, removed = 0, changed = 0, unchanged = 0;
    };
    struct Applied {
        std::vector<std::string> lines;  // "added A:P", "changed A:P", "removed A:P", in order
        std::vector<ReloadPlan::Change> rolling;  // running changed servers, in plan order
        unsigned removing = 0;           // removals that wait for their process's end
    };
    // What a reload can do at once; `removed` hears of each later removal.
    Applied applyReload(const ReloadPlan& plan, const Waiter& removed);
    void onRolled(Outcome outcome, const AppServerProcess& record);
    void onRemoved(const AppServerProcess& record);
    // Begins the next rolling restart; ends the reload when nothing is left.
    void advanceReload();
    void stopRollout(const std::string& line);
    void writeEndLines();
    void takeRequests(Clock::time_point now);
    void takeProbes(const std::vector<Probes::Result>& results, Clock::time_point now);
    // Starts or ends the probes of a record that changed its state.
    void syncProbes(AppServerProcess& record, Clock::time_point now);
    void configure(AppServerProcess& record) const;
    void configureNotify(AppServerProcess& record) const;
    void launchRequests(Clock::time_point now);
    void fireDeadlines(Clock::time_point now);
    Clock::time_point nextDeadline(Clock::time_point now) const;
    bool stopFinished() const;
    void reportWaiting();
    void killRemaining();

    std::vector<AppServerProcess> mProcesses;
    std::vector<std::string> mIPList;
    std::string mBaseDir;
    std::vector<LoopSource*> mSources;
    std::unique_ptr<StopRequests> mRequests;
    std::unique_ptr<Rollout> mReload;
    Probes mProbes;
    std::unique_ptr<ServerTrees> mTrees;
    bool mContained = false;  // contain() was called
    // Children may have ended unseen: at the first pass, after SIGCHLD, or
    // when the last look for ended children stopped short. Otherwise a
    // pass does not scan every child (waitid walks them all) for nothing.
    bool mReapDue = true;
    std::vector<pid_t> mSignalled;  // senders of the SIGCHLDs just read: looked at first
    Clock::time_point mLastAccount{};
    ServiceSettings mSettings;
    bool mProbing = false;  // setSettings was called: probes as the settings say
    std::map<uint64_t, Waiter> mWaiters;  // by record id
    std::vector<std::string> mEndLines;   // of the ends reaped, until the next starts
    uint64_t mNextId = 1;
    unsigned long mChanges = 0;
    bool mStopping = false;               // the full stop runs: nothing starts any more
    Clock::time_point mNextProgress = Clock::time_point::max();
    // An address list text kept for buildTables (setIPListLater).
    bool mIPListPending = false;
    bool mIPListNull = false;
    std::string mIPListText;
    // Where each server's output goes; empty: the service's own output.
    std::string mServerOutputDir;
    std::string mNotifyPath;  // the notification socket's path; empty: none
    const NotifySocket* mNotifySocket = nullptr;
};

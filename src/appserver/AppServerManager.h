// The manager through which the service drives every application server of
// this host: the list of local addresses, the table of server records built
// from the configuration (the one place where their state changes), the one
// wait of the supervision loop, and the operations that start, watch and
// stop the servers.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "appserver/AppServerProcess.h"
#include "appserver/EventLoop.h"

class CAppServerManager {
public:
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
    // Fills the table from WebInterface.conf, ServerConfig.xml and the
    // address list; call once.
    void buildTables();
    // The table that WebInterface.conf, ServerConfig.xml and the address list
    // give now, fully validated, without touching the running one. Throws
    // what buildTables throws for a configuration error or an empty table;
    // strict, also for any line of WebInterface.conf that a start would
    // only log (refused, unknown key or section).
    std::vector<AppServerProcess> loadTable(bool strict = false) const;
    // One start attempt per record (throttled ones wait); never throws.
    void startServers();

    // The one wait of the supervision loop: blocks until a child ends, a
    // termination signal arrives, a record's deadline comes, a source's
    // descriptor or deadline fires, or `milliseconds` have passed, whichever
    // is first; then reaps the ended children into their records (with their
    // log lines), lifts the throttles that are due and dispatches the sources.
    // Starts nothing: the next startServers does. Throws CWIException when
    // the signals cannot be set up.
    void waitAndUpdateTerminated(unsigned milliseconds);
    // The same without a time limit: with nothing to do, the service sleeps here.
    void waitForEvents();

    // Asks every running server over its port to shut down, one thread each,
    // and waits for their ends (30 s each, 51 s per thread). A server whose
    // thread cannot be created is left for stopServers.
    void gentleStopServers();
    // SIGTERM and SIGCONT to every running server, up to 5 s for them to end,
    // then SIGKILL to the rest. True when no server is left running.
    bool stopServers();

    // Plugs a source into the one wait (see EventLoop.h); not owned.
    void addSource(LoopSource* source);
    void removeSource(LoopSource* source);

    // The records, for reading on the service thread: address, port, pid,
    // state, start time, restart count, last end status and time.
    const std::vector<AppServerProcess>& processes() const { return mProcesses; }
    const std::vector<std::string>& ipList() const { return mIPList; }

private:
    // Tests reach the table through this one seam (tests/appserver/manager_peer.h).
    friend struct ManagerTestPeer;
    // The control channel's operations (one server's stop and start, the
    // reload) change the table on the service thread.
    friend class CServerControl;

    using Clock = std::chrono::steady_clock;

    enum class Phase {
        Supervising,  // ends are reaped and logged; throttle deadlines count
        GentleStop,   // the stop threads reap their own servers
        HardStop,     // ends are reaped quietly
    };

    void wait(Clock::time_point limit);
    // Reaps every ended child; true when one was a record's.
    bool reapChildren();
    Clock::time_point nextDeadline() const;
    void killRemaining(int signal);

    std::vector<AppServerProcess> mProcesses;
    std::vector<std::string> mIPList;
    std::string mBaseDir;
    std::vector<LoopSource*> mSources;
    Phase mPhase = Phase::Supervising;
    // An address list text kept for buildTables (setIPListLater).
    bool mIPListPending = false;
    bool mIPListNull = false;
    std::string mIPListText;
    // Where each server's output goes; empty: the service's own output.
    std::string mServerOutputDir;
};

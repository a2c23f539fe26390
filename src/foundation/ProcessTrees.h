// The process trees of the servers: the containment chosen at start, each
// server's cgroup or session, the signals of the stop sequence to every
// process proven the server's, whether a tree is empty, and what each one
// costs. It knows nothing of the server records: a tree is named by its
// owner's id (which stays when the owner moves in its table), and the
// owner says which server it is (TreeServer) when it starts one.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <sys/socket.h>

#include "baselib/kx_proctree.h"
#include "foundation/EventLoop.h"
#include "foundation/TreeContainment.h"

// The server a tree is: its address, after which its cgroup and tree record
// are named and which its log lines name.
struct TreeServer {
    std::string host;
    unsigned short port = 0;
};

// One tree's reading: `measured` false when it could not be read.
struct TreeReading {
    bool measured = false;
    TreeFigures figures;
};

class ProcessTrees : public LoopSource {
public:
    ProcessTrees() = default;
    // Closes the cgroups' descriptors and /proc; the cgroups stay.
    ~ProcessTrees() override;
    ProcessTrees(const ProcessTrees&) = delete;
    ProcessTrees& operator=(const ProcessTrees&) = delete;

    // Chooses the containment for `setting` (throws what ChooseContainment
    // throws), makes the service the reaper of its orphans and opens the
    // installation's cgroup; returns the start line for the log.
    std::string choose(Containment setting, const std::string& installation);
    // The service stops with no tree left: the servers' empty cgroups and
    // the installation's go.
    void removeParent();
    const TreeContainment& containment() const { return mContainment; }
    bool cgroup() const { return mContainment.mode == Containment::Cgroup; }
    // "cgroup" or "session".
    const char* modeName() const;
    // The descriptor of /proc (-1 when it cannot be opened); owned here.
    int procFd();

    // The cgroup directory tree `id` of `server` is to be started in, made
    // if missing; -1 in session containment or when it cannot be made
    // (logged). *frozen (may be null): an operator froze it, and the start
    // will stop before it runs.
    int prepareStart(uint64_t id, const TreeServer& server, bool* frozen = nullptr);
    // The start made process `pid`: the root of tree `id`.
    void started(uint64_t id, pid_t pid);
    // Sends `sig` to every process of the tree (SIGTERM with SIGCONT;
    // SIGKILL through cgroup.kill in a cgroup); how many were reached.
    // `leader`, the service's running child (0: none), is signalled first.
    size_t signal(uint64_t id, int sig, pid_t leader);
    // The processes of the tree now, zombies left out, each remembered as
    // proven for the later rounds (the leader may be reaped meanwhile).
    std::vector<KXProcIdentity> members(uint64_t id);
    // Session containment: the members now, remembered as proof for the
    // later rounds of a stop; a cgroup proves its own members.
    void prove(uint64_t id);
    // The members of a tree whose leader has just ended and is held, not
    // reaped: from a look at /proc taken after that end. One look serves
    // every leader that had ended by the time it was taken.
    std::vector<KXProcIdentity> membersAfterEnd(uint64_t id);
    // Looks at the session trees `ids` at once, those not looked at in this
    // pass of the loop; members() and empty() then answer from it.
    void lookAt(const std::vector<uint64_t>& ids);
    // True when a member of a session tree found by an earlier look still
    // runs: the tree is not empty, and no look at /proc is needed to say so.
    // False in a cgroup, or when none is seen running (then ask empty()).
    bool knownRunning(uint64_t id);
    // True when no process of the tree is left.
    bool empty(uint64_t id);
    // The tree is over: its proof is forgotten. Its empty cgroup stays for
    // the next start, as making one costs more than the start.
    void forget(uint64_t id);
    // An adopted orphan `process` ended: counted as its server's (by id; 0
    // for none). The caller reaps it.
    uint64_t adopted(const KXProcStat& process);
    // Orphans of `id`'s tree reaped by the service.
    unsigned long orphans(uint64_t id) const;

    // True when the socket that listens on `address` (resolved) and `port`
    // is held by a process of tree `id`, or when no listener can be found
    // (the probe's connection was to something that has gone since).
    // Otherwise `holder` gets "pid N (comm)" of a process that holds it ("an
    // unknown process" when none can be read).
    bool servesItself(uint64_t id, const sockaddr_storage& address, unsigned short port,
                      std::string& holder);
    // Reads the figures of the trees `ids`, one reading each in their order
    // (one pass over /proc in session containment; each cgroup's files in
    // cgroup containment).
    std::vector<TreeReading> measure(const std::vector<uint64_t>& ids);
    // Calls `due` every `interval` seconds from the loop (0: never).
    void setAccounting(int interval, std::function<void()> due);

    // What is left of the trees of an earlier service of this installation
    // (its cgroups, or its tree records in `runDir`) is stopped: SIGTERM and
    // SIGCONT, `killTimeout` for it to end, SIGKILL. One line per server
    // names the processes; `servers` name them. Blocks at most about two
    // kill time-outs; call before the first start.
    void stopLeftovers(const std::vector<TreeServer>& servers, const std::string& runDir,
                       std::chrono::seconds killTimeout);

    // While a tree waits to be empty without its leader, the loop wakes on
    // its cgroup.events, or every kEmptyPoll in session containment.
    void watch(uint64_t id, bool on);
    void prepare(std::vector<struct pollfd>& fds,
                 std::chrono::steady_clock::time_point& deadline) override;
    void dispatch(struct pollfd*, size_t, std::chrono::steady_clock::time_point now) override;

private:
    struct Tree {
        KXTreeRoot root{};
        std::vector<KXProcIdentity> known;  // proven in an earlier round
        std::string name;                  // the cgroup's name
        TreeServer server;                 // whose it is, for its lines
        // Held only from prepareStart to started, and while watched: every
        // descriptor the service holds is one more for each start's exec
        // to close, so a thousand held ones would tax every start.
        int startFd = -1;
        int eventsFd = -1;
        bool inCgroup = false;  // the last start was placed in the cgroup
        bool reused = false;    // the last start found its cgroup there
        uint64_t cpuBase = 0;   // the reused cgroup's CPU before that start
        unsigned long orphans = 0;
        bool watched = false;
        bool leaderHeld = false;  // its leader is the service's child, not reaped
        bool endedBeforeLook = false;  // its leader had ended when the last look was taken
        uint64_t lookedPass = 0;  // the pass of the loop whose look found its known
        KXTreeRoot recordedRoot{};  // what its tree record in the run directory says
        std::vector<KXProcIdentity> recorded;
    };
    Tree& tree(uint64_t id) { return mTrees[id]; }
    void closeTree(Tree& tree);
    // Counts the watched trees, so that a pass with none skips them all.
    void setWatched(Tree& tree, bool on);
    // The tree's cgroup directory, opened now; -1 when it has none.
    int openCgroup(const Tree& tree) const;
    // True when the tree's members are found by looks at /proc.
    bool sessionTree(const Tree& tree) const { return !tree.inCgroup || mParentFd < 0; }
    // One pass over /proc for the session trees of `focus` (by id; null:
    // every one): their members become their known. What the last look of
    // every tree found of the others is kept, not read again. False when
    // /proc cannot be read; the known then stay as they were.
    bool look(const std::vector<uint64_t>* focus = nullptr);
    // Hands each tree of `trees` (by root number; null: not looked at) its
    // members in `table`, zombies left out.
    void handOut(const KXProcTable& table, const std::vector<Tree*>& trees);
    // The stat of each leader the service holds and has not seen end, known
    // without a read.
    std::vector<KXProcStat> livingLeaders();
    // The names of the servers' cgroups under the installation's.
    std::vector<std::string> serverCgroups() const;
    // The cgroup and tree record name of a server ("srv-HOST-PORT").
    static std::string NameOf(const TreeServer& server);
    // Session containment: records tree `id` in the run directory (its root
    // and `members`), so that a service started after a SIGKILL of this one
    // finds what is left of it.
    void writeRecord(uint64_t id, const std::vector<KXProcIdentity>& members);
    // Reads the figures of every cgroup tree of `ids` into `readings`; the
    // others' indexes go to `sessions`.
    void measureCgroups(const std::vector<uint64_t>& ids, std::vector<TreeReading>& readings,
                        std::vector<size_t>& sessions);
    // The leftovers of one cgroup or one tree record: "" when none were left.
    void stopLeftoverCgroup(const std::string& name, const std::string& server,
                            std::chrono::seconds killTimeout);
    void stopLeftoverRecord(const std::string& name, const std::string& server,
                            std::chrono::seconds killTimeout);

    TreeContainment mContainment;
    int mParentFd = -1;  // the installation's cgroup
    int mProcFd = -1;
    int mRunFd = -1;  // the run directory, for the tree records (session containment)
    std::map<uint64_t, Tree> mTrees;  // by their owners' ids
    size_t mWatched = 0;              // trees with watched set
    uint64_t mPass = 1;      // the pass of the loop (prepare counts them)
    uint64_t mLookPass = 0;  // the pass of the last look
    // The last look of every tree, and the id of each of its roots: what no
    // tree owned then is not read again, nor what trees not looked at own.
    struct LookTable {
        KXProcTable table{};
        ~LookTable() { KXProcTableFree(&table); }
    };
    LookTable mLast;
    std::vector<uint64_t> mLastIds;
    unsigned mLooksSinceLast = 0;  // looks at some trees since mLast
    std::chrono::seconds mInterval{0};
    std::chrono::steady_clock::time_point mNextAccount = std::chrono::steady_clock::time_point::max();
    std::function<void()> mAccountDue;
};

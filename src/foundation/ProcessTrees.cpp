#include "foundation/ProcessTrees.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "baselib/kx_cgroup.h"
#include "baselib/kx_cgroupusage.h"
#include "baselib/kx_session.h"
#include "baselib/kx_sockdiag.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

namespace {

// How often a session's tree is looked at while it is to become empty:
// nothing tells the service of the end of a process it is not the parent of.
const auto kEmptyPoll = std::chrono::milliseconds(50);
// Members of one cgroup listed without the heap: a leader's end lists its
// cgroup on the way to the restart, and most trees are this small.
const size_t kFewMembers = 256;

void CloseFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

}  // namespace

ProcessTrees::~ProcessTrees()
{
    for (auto& entry : mTrees)
        closeTree(entry.second);
    CloseFd(mParentFd);
    CloseFd(mProcFd);
    CloseFd(mRunFd);
}

void ProcessTrees::closeTree(Tree& tree)
{
    CloseFd(tree.startFd);
    CloseFd(tree.eventsFd);
}

int ProcessTrees::openCgroup(const Tree& tree) const
{
    if (!tree.inCgroup || mParentFd < 0)
        return -1;
    return openat(mParentFd, tree.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

void ProcessTrees::removeParent()
{
    // One still holding a stuck tree stays for the next start to find.
    int ownFd = -1;
    for (const std::string& child : serverCgroups())
        KXCgroupRemove(mParentFd, child.c_str());
    if (mParentFd >= 0 && KXCgroupOpenPlace(&mContainment.place, nullptr, 0, &ownFd) == ERROR_NONE) {
        KXCgroupRemove(ownFd, mContainment.parent.c_str());
        close(ownFd);
    }
}

const char* ProcessTrees::modeName() const
{
    return cgroup() ? "cgroup" : "session";
}

int ProcessTrees::procFd()
{
    if (mProcFd < 0 && KXProcOpen("/proc", &mProcFd) != ERROR_NONE)
        mProcFd = -1;
    return mProcFd;
}

std::string ProcessTrees::choose(Containment setting, const std::string& installation)
{
    mContainment = ChooseContainment(setting, installation);
    // Orphans of a server's tree come to the service, which reaps them and
    // knows whose they were; without it they go to init, out of sight.
    if (KXBecomeSubreaper() != ERROR_NONE)
        KXLogWrite(CLog::_pKXLog, "containment: cannot become the reaper of orphaned servers (%s)",
                   strerror(errno));
    if (cgroup() && KXCgroupOpenPlace(&mContainment.place, mContainment.parent.c_str(), 1,
                                      &mParentFd) != ERROR_NONE) {
        std::string why = strerror(errno);
        if (setting == Containment::Cgroup)
            throw CWIException(ERROR_STATE, "CONTAINMENT=cgroup: cannot make %s (%s)",
                               mContainment.parent.c_str(), why.c_str());
        mContainment.mode = Containment::Session;
        mContainment.reason = "cannot make " + mContainment.parent + " (" + why + ")";
    }
    procFd();
    return DescribeContainment(mContainment);
}

std::string ProcessTrees::NameOf(const TreeServer& server)
{
    char name[128];
    if (KXCgroupServerName(server.host.c_str(), server.port, name, sizeof name) != ERROR_NONE)
        return "";
    return name;
}

int ProcessTrees::prepareStart(uint64_t id, const TreeServer& server, bool* frozen)
{
    if (frozen != nullptr)
        *frozen = false;
    Tree& t = tree(id);
    closeTree(t);
    t.known.clear();
    t.server = server;
    t.name = NameOf(server);
    t.inCgroup = false;
    if (!cgroup() || t.name.empty())
        return -1;
    int made = 0;
    if (KXCgroupCreate(mParentFd, t.name.c_str(), &t.startFd, &made) != ERROR_NONE) {
        KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu: cannot make its cgroup %s (%s)",
                   server.host.c_str(), server.port, t.name.c_str(), strerror(errno));
        t.startFd = -1;
        return -1;
    }
    t.inCgroup = true;
    t.reused = made == 0;
    int isFrozen = 0;
    if (frozen != nullptr && KXCgroupFrozen(t.startFd, &isFrozen) == ERROR_NONE)
        *frozen = isFrozen != 0;
    return t.startFd;
}

void ProcessTrees::started(uint64_t id, pid_t pid)
{
    Tree& t = tree(id);
    KXProcStat stat;
    t.root.session = pid;
    // The leader's start time proves the members of a session; a cgroup
    // proves its own, and the new server needs the CPU more than this read.
    t.root.leaderStart = 0;
    if (!t.inCgroup && KXProcReadStat(procFd(), pid, &stat) == ERROR_NONE)
        t.root.leaderStart = stat.startTime;
    t.known.clear();
    t.orphans = 0;
    // A reused cgroup counts the CPU of its earlier trees: read after the
    // start so as not to delay it, which loses the new leader's first
    // microseconds from its figure. A new one starts at nothing.
    t.cpuBase = 0;
    if (t.startFd >= 0 && t.reused && KXCgroupCpuUsec(t.startFd, &t.cpuBase) != ERROR_NONE)
        t.cpuBase = 0;
    CloseFd(t.startFd);
    t.leaderHeld = true;
    t.endedBeforeLook = false;
    t.lookedPass = 0;  // a look of this pass came before this start
}

std::vector<KXProcIdentity> ProcessTrees::members(uint64_t id)
{
    Tree& t = tree(id);
    int dirFd = openCgroup(t);
    if (dirFd < 0) {
        if (t.lookedPass != mPass)
            look();
        return t.known;
    }
    pid_t few[kFewMembers];
    pid_t* pids = few;
    size_t count = 0;
    KXCgroupListMembers(dirFd, few, kFewMembers, &pids, &count);
    close(dirFd);
    std::vector<KXProcIdentity> members;
    for (size_t i = 0; i < count; ++i) {
        KXProcStat stat;
        if (KXProcReadStat(procFd(), pids[i], &stat) == ERROR_NONE && stat.state != 'Z')
            members.push_back({pids[i], stat.startTime});
    }
    if (pids != few)
        free(pids);
    return members;
}

void ProcessTrees::prove(uint64_t id)
{
    if (sessionTree(tree(id)))
        members(id);
}

size_t ProcessTrees::signal(uint64_t id, int sig, pid_t leader)
{
    Tree& t = tree(id);
    size_t reached = 0;
    int dirFd = openCgroup(t);
    if (dirFd >= 0) {
        // The leader, the service's own child, first: it is the one to
        // stop its workers, and need not wait for its cgroup to be read.
        if (sig == SIGKILL)
            reached = KXCgroupKill(dirFd) == ERROR_NONE ? 1 : 0;
        else if (leader > 0 && kill(leader, SIGTERM) == 0 && kill(leader, SIGCONT) == 0)
            reached = 1;
        if (sig != SIGKILL) {
            size_t others = 0;
            KXCgroupTerminate(dirFd, leader, &others);
            reached += others;
        }
        close(dirFd);
        return reached;
    }
    std::vector<KXProcIdentity> list = members(id);
    KXSignalProven(procFd(), list.data(), list.size(), sig, &reached);
    return reached;
}

bool ProcessTrees::empty(uint64_t id)
{
    Tree& t = tree(id);
    int populated = 1;
    bool known;
    if (t.eventsFd >= 0) {
        known = KXCgroupPopulated(t.eventsFd, &populated) == ERROR_NONE;
    } else {
        // Not watched: cgroup.events opened for this one reading.
        int dirFd = openCgroup(t);
        int eventsFd = -1;
        known = dirFd >= 0 && KXCgroupOpenEvents(dirFd, &eventsFd) == ERROR_NONE &&
                KXCgroupPopulated(eventsFd, &populated) == ERROR_NONE;
        CloseFd(eventsFd);
        CloseFd(dirFd);
    }
    if (known)
        return populated == 0;
    return members(id).empty();
}

void ProcessTrees::forget(uint64_t id)
{
    auto it = mTrees.find(id);
    if (it == mTrees.end())
        return;
    closeTree(it->second);
    if (mRunFd >= 0 && !it->second.name.empty())
        KXTreeRecordRemove(mRunFd, it->second.name.c_str());
    it->second.recordedRoot = KXTreeRoot{};
    it->second.known.clear();
    setWatched(it->second, false);
}

uint64_t ProcessTrees::adopted(const KXProcStat& process)
{
    // A leader reaped as an orphan (its owner gone on) is held no more.
    for (auto& entry : mTrees)
        if (entry.second.root.session == process.pid &&
            entry.second.root.leaderStart == process.startTime)
            entry.second.leaderHeld = false;
    for (auto& entry : mTrees) {
        Tree& t = entry.second;
        bool known = std::any_of(t.known.begin(), t.known.end(), [&](const KXProcIdentity& m) {
            return m.pid == process.pid && m.startTime == process.startTime;
        });
        if (known || t.root.session == process.session) {
            ++t.orphans;
            return entry.first;
        }
    }
    return 0;
}

unsigned long ProcessTrees::orphans(uint64_t id) const
{
    auto it = mTrees.find(id);
    return it == mTrees.end() ? 0 : it->second.orphans;
}

void ProcessTrees::watch(uint64_t id, bool on)
{
    Tree& t = mTrees[id];
    setWatched(t, on);
    if (!on) {
        CloseFd(t.eventsFd);
        return;
    }
    int dirFd = openCgroup(t);
    if (t.eventsFd < 0 && dirFd >= 0 && KXCgroupOpenEvents(dirFd, &t.eventsFd) != ERROR_NONE)
        t.eventsFd = -1;
    CloseFd(dirFd);
}

void ProcessTrees::setWatched(Tree& tree, bool on)
{
    if (tree.watched != on)
        mWatched = on ? mWatched + 1 : mWatched - 1;
    tree.watched = on;
}

void ProcessTrees::prepare(std::vector<struct pollfd>& fds,
                          std::chrono::steady_clock::time_point& deadline)
{
    // Processes fork and end while the loop sleeps: the next look is new.
    ++mPass;
    deadline = std::min(deadline, mNextAccount);
    if (mWatched == 0)
        return;
    for (auto& entry : mTrees) {
        if (!entry.second.watched)
            continue;
        if (entry.second.eventsFd >= 0)
            fds.push_back({entry.second.eventsFd, POLLPRI, 0});
        else
            deadline = std::min(deadline, std::chrono::steady_clock::now() + kEmptyPoll);
    }
}

namespace {

// The numeric text of a resolved address; empty when it is none.
std::string AddressText(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    else if (address.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
                  sizeof text);
    return text;
}

}  // namespace

bool ProcessTrees::servesItself(uint64_t id, const sockaddr_storage& address, unsigned short port,
                                std::string& holder)
{
    std::string text = AddressText(address);
    uint64_t inode = 0;
    if (text.empty() || KXListenerInode(text.c_str(), port, &inode) != ERROR_NONE)
        return true;
    std::vector<KXProcIdentity> tree = members(id);
    writeRecord(id, tree);
    for (const KXProcIdentity& member : tree)
        if (KXProcessHoldsSocket(procFd(), member.pid, inode) == 1)
            return true;
    pid_t pid = 0;
    char comm[32] = "";
    if (KXFindSocketHolder(procFd(), inode, &pid, comm, sizeof comm) == ERROR_NONE)
        holder = "pid " + std::to_string(pid) + " (" + comm + ")";
    else
        holder = "an unknown process";
    return false;
}

void ProcessTrees::measureCgroups(const std::vector<uint64_t>& ids, std::vector<TreeReading>& readings,
                                  std::vector<size_t>& sessions)
{
    for (size_t i = 0; i < ids.size(); ++i) {
        const Tree& t = tree(ids[i]);
        int dirFd = openCgroup(t);
        if (dirFd < 0) {
            sessions.push_back(i);
            continue;
        }
        KXTreeUsage usage{};
        uint64_t usec = 0;
        readings[i].measured = KXCgroupUsage(procFd(), dirFd, &usage, &usec) == ERROR_NONE;
        readings[i].figures = FiguresOf(usage, usec > t.cpuBase ? usec - t.cpuBase : 0, true);
        close(dirFd);
    }
}

std::vector<TreeReading> ProcessTrees::measure(const std::vector<uint64_t>& ids)
{
    std::vector<TreeReading> readings(ids.size());
    std::vector<size_t> sessions;
    measureCgroups(ids, readings, sessions);
    if (sessions.empty())
        return readings;
    std::vector<KXTreeRoot> roots;
    std::vector<KXKnownMember> known;
    for (size_t index : sessions) {
        const Tree& t = tree(ids[index]);
        for (const KXProcIdentity& identity : t.known)
            known.push_back({identity, roots.size()});
        roots.push_back(t.root);
    }
    KXProcTable table{};
    std::vector<KXTreeUsage> usage(roots.size());
    bool read = KXProcTableRead(procFd(), &table) == ERROR_NONE &&
                KXProcTableAssign(&table, roots.data(), roots.size(), known.data(), known.size()) ==
                    ERROR_NONE;
    if (read)
        KXProcTableUsage(&table, usage.data(), usage.size());
    // The members proven now prove the next round's, and the record tells a
    // later service what is left should this one be killed.
    for (size_t i = 0; read && i < sessions.size(); ++i) {
        size_t count = 0;
        KXProcTableMembers(&table, i, nullptr, 0, &count);
        std::vector<KXProcIdentity> members(count);
        KXProcTableMembers(&table, i, members.data(), members.size(), &count);
        tree(ids[sessions[i]]).known = members;
        writeRecord(ids[sessions[i]], members);
    }
    KXProcTableFree(&table);
    for (size_t i = 0; i < sessions.size(); ++i)
        readings[sessions[i]] = {read, FiguresOf(usage[i], 0, false)};
    return readings;
}

void ProcessTrees::setAccounting(int interval, std::function<void()> due)
{
    mInterval = std::chrono::seconds(interval);
    mAccountDue = std::move(due);
    mNextAccount = interval > 0 ? std::chrono::steady_clock::now() + mInterval
                                : std::chrono::steady_clock::time_point::max();
}

void ProcessTrees::dispatch(struct pollfd*, size_t, std::chrono::steady_clock::time_point now)
{
    if (now < mNextAccount)
        return;
    mNextAccount = now + mInterval;
    if (mAccountDue)
        mAccountDue();
}

// What an earlier service of this installation left of its servers' trees
// when it was killed: its cgroups below the installation's, or the trees it
// recorded in the run directory, each process proven by its session and
// start time. All of it is stopped before this service starts a server, so
// that no old process keeps a port or answers in a new server's name.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "baselib/kx_cgroup.h"
#include "baselib/kx_session.h"
#include "foundation/Log.h"
#include "foundation/ProcessTrees.h"

namespace {

using Clock = std::chrono::steady_clock;

const auto kLeftoverPoll = std::chrono::milliseconds(20);

std::string PidList(const std::vector<KXProcIdentity>& members)
{
    std::string pids;
    for (size_t i = 0; i < members.size() && i < 20; ++i)
        pids += (i == 0 ? "" : ", ") + std::to_string(members[i].pid);
    return members.size() > 20 ? pids + ", ..." : pids;
}

void SayLeft(const std::string& server, const std::vector<KXProcIdentity>& left)
{
    KXLogWrite(CLog::_pKXLog,
               "%s: %zu process%s of an earlier service's tree %s left (pid%s %s); stopping %s",
               server.c_str(), left.size(), left.size() == 1 ? "" : "es",
               left.size() == 1 ? "is" : "are", left.size() == 1 ? "" : "s",
               PidList(left).c_str(), left.size() == 1 ? "it" : "them");
}

// Waits until `gone` holds or `limit` has passed; true when it holds.
template <class F>
bool WaitFor(F gone, std::chrono::seconds limit)
{
    auto until = Clock::now() + limit;
    while (!gone()) {
        if (Clock::now() >= until)
            return false;
        std::this_thread::sleep_for(kLeftoverPoll);
    }
    return true;
}

struct Names {
    std::vector<std::string> names;
};

int CollectName(const char* name, unsigned char, void* context)
{
    size_t length = strlen(name);
    if (strncmp(name, "srv-", 4) == 0 && (length < 4 || strcmp(name + length - 4, ".new") != 0))
        static_cast<Names*>(context)->names.push_back(name);
    return 0;
}

int CollectCgroup(const char* name, void* context)
{
    if (strncmp(name, "srv-", 4) == 0)
        static_cast<Names*>(context)->names.push_back(name);
    return 0;
}

}  // namespace

std::vector<std::string> ProcessTrees::serverCgroups() const
{
    Names found;
    if (mParentFd >= 0)
        KXCgroupForEachChild(mParentFd, CollectCgroup, &found);
    return found.names;
}

void ProcessTrees::writeRecord(uint64_t id, const std::vector<KXProcIdentity>& members)
{
    Tree& t = tree(id);
    if (cgroup() || mRunFd < 0 || t.name.empty())
        return;
    // A write makes a new file and renames it: a tree the record already
    // tells (members in pid order, as every look lists them) is not written
    // again at each readiness check and accounting round.
    auto same = [](const KXProcIdentity& a, const KXProcIdentity& b) {
        return a.pid == b.pid && a.startTime == b.startTime;
    };
    if (t.recordedRoot.session == t.root.session &&
        t.recordedRoot.leaderStart == t.root.leaderStart &&
        std::equal(members.begin(), members.end(), t.recorded.begin(), t.recorded.end(), same))
        return;
    if (KXTreeRecordWrite(mRunFd, t.name.c_str(), &t.root, members.data(), members.size()) !=
        ERROR_NONE) {
        KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu: cannot record its tree (%s)",
                   t.server.host.c_str(), t.server.port, strerror(errno));
        return;
    }
    t.recordedRoot = t.root;
    t.recorded = members;
}

void ProcessTrees::stopLeftovers(const std::vector<TreeServer>& servers, const std::string& runDir,
                                 std::chrono::seconds killTimeout)
{
    if (mRunFd < 0 && !cgroup()) {
        if (mkdir(runDir.c_str(), 0755) != 0 && errno != EEXIST)
            KXLogWrite(CLog::_pKXLog, "containment: cannot make %s (%s)", runDir.c_str(),
                       strerror(errno));
        mRunFd = open(runDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    Names found;
    if (cgroup())
        found.names = serverCgroups();
    else if (mRunFd >= 0)
        KXDirForEach(mRunFd, CollectName, &found, nullptr);
    for (const std::string& name : found.names) {
        std::string server = name;
        for (const TreeServer& s : servers)
            if (NameOf(s) == name)
                server = "Server [" + s.host + "]:" + std::to_string(s.port);
        if (cgroup())
            stopLeftoverCgroup(name, server, killTimeout);
        else
            stopLeftoverRecord(name, server, killTimeout);
    }
}

void ProcessTrees::stopLeftoverCgroup(const std::string& name, const std::string& server,
                                     std::chrono::seconds killTimeout)
{
    int dirFd = -1;
    if (KXCgroupCreate(mParentFd, name.c_str(), &dirFd, nullptr) != ERROR_NONE)
        return;
    std::vector<pid_t> pids(4096);
    size_t count = 0;
    KXCgroupMembers(dirFd, pids.data(), pids.size(), &count);
    std::vector<KXProcIdentity> left;
    for (size_t i = 0; i < count && i < pids.size(); ++i)
        left.push_back({pids[i], 0});
    if (!left.empty()) {
        SayLeft(server, left);
        KXCgroupTerminate(dirFd, 0, nullptr);
        auto empty = [&] {
            size_t n = 0;
            return KXCgroupMembers(dirFd, pids.data(), pids.size(), &n) == ERROR_NONE && n == 0;
        };
        if (!WaitFor(empty, killTimeout)) {
            KXCgroupKill(dirFd);
            WaitFor(empty, killTimeout);
        }
    }
    close(dirFd);
    KXCgroupRemove(mParentFd, name.c_str());
}

void ProcessTrees::stopLeftoverRecord(const std::string& name, const std::string& server,
                                     std::chrono::seconds killTimeout)
{
    KXTreeRoot root{};
    std::vector<KXProcIdentity> recorded(KX_TREE_RECORD_MAX_MEMBERS);
    size_t count = 0;
    if (KXTreeRecordRead(mRunFd, name.c_str(), &root, recorded.data(), recorded.size(), &count) !=
        ERROR_NONE) {
        KXTreeRecordRemove(mRunFd, name.c_str());
        return;
    }
    recorded.resize(std::min(count, recorded.size()));
    auto leftNow = [&] {
        std::vector<KXProcIdentity> left(4096);
        size_t n = 0;
        KXTreeRecordLeftovers(procFd(), &root, recorded.data(), recorded.size(), left.data(),
                              left.size(), &n);
        left.resize(std::min(n, left.size()));
        return left;
    };
    std::vector<KXProcIdentity> left = leftNow();
    if (!left.empty()) {
        SayLeft(server, left);
        KXSignalProven(procFd(), left.data(), left.size(), SIGTERM, nullptr);
        auto gone = [&] { return leftNow().empty(); };
        if (!WaitFor(gone, killTimeout)) {
            left = leftNow();
            KXSignalProven(procFd(), left.data(), left.size(), SIGKILL, nullptr);
            WaitFor(gone, killTimeout);
        }
    }
    KXTreeRecordRemove(mRunFd, name.c_str());
}

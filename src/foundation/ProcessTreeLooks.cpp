// The looks at /proc that find the members of the servers' sessions. A look
// reads every process of the host, so one look serves every tree looked at
// in the same pass of the loop: a stop of many servers, or the wait for many
// trees to empty, costs one pass over /proc, not one per tree. The loop's
// wait makes the next look a new one (prepare), since processes may have
// forked or ended while it slept.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "foundation/ProcessTrees.h"

#include "baselib/kx_session.h"

namespace {

// Looks at some trees between two looks at all.
const unsigned kLooksPerFullLook = 64;

}  // namespace

std::vector<KXProcStat> ProcessTrees::livingLeaders()
{
    // A leader the service has not reaped keeps its pid, and it leads its
    // own session from its start on: its stat need not be read to prove its
    // session, nor to tell its children's parent. Its figures are not
    // needed here (the accounting reads its own). One that has ended since
    // is taken as living: a zombie is never signalled (its stat is read
    // again first), and its own look reads it (membersAfterEnd).
    std::vector<KXProcStat> leaders;
    pid_t self = getpid();
    for (auto& entry : mTrees) {
        const Tree& t = entry.second;
        if (!t.leaderHeld || t.root.leaderStart == 0 || t.endedBeforeLook)
            continue;
        KXProcStat stat;
        memset(&stat, 0, sizeof stat);
        stat.pid = t.root.session;
        stat.ppid = self;
        stat.pgrp = t.root.session;
        stat.session = t.root.session;
        stat.state = 'S';
        stat.startTime = t.root.leaderStart;
        leaders.push_back(stat);
    }
    return leaders;
}

bool ProcessTrees::look(const std::vector<uint64_t>* focus)
{
    // Looks at some trees read the listing of every process anyway; now and
    // then one looks at all, so that what is not read again stays recent.
    if (focus != nullptr && (mLastIds.empty() || ++mLooksSinceLast >= kLooksPerFullLook))
        focus = nullptr;
    auto inFocus = [focus](uint64_t id) {
        return focus == nullptr || std::find(focus->begin(), focus->end(), id) != focus->end();
    };
    std::vector<Tree*> trees;
    std::vector<uint64_t> ids;
    std::vector<KXTreeRoot> roots;
    std::vector<KXKnownMember> known;
    for (auto& entry : mTrees) {
        Tree& t = entry.second;
        if (!sessionTree(t))
            continue;
        for (const KXProcIdentity& identity : t.known)
            known.push_back({identity, roots.size()});
        roots.push_back(t.root);
        trees.push_back(inFocus(entry.first) ? &t : nullptr);
        ids.push_back(entry.first);
    }
    std::vector<unsigned char> keep(mLastIds.size(), 0);
    for (size_t i = 0; focus != nullptr && i < keep.size(); ++i)
        keep[i] = !inFocus(mLastIds[i]);
    std::vector<KXProcStat> leaders = livingLeaders();
    const KXProcReadHints hints = {leaders.data(), leaders.size(), &mLast.table, keep.data(),
                                   keep.size()};
    KXProcTable table{};
    bool read = KXProcTableReadHinted(procFd(), &hints, &table) == ERROR_NONE &&
                KXProcTableAssign(&table, roots.data(), roots.size(), known.data(), known.size()) ==
                    ERROR_NONE;
    if (read)
        handOut(table, trees);
    // A look at every tree is the next one's base; a failed one leaves none,
    // so that the next reads everything.
    if (focus == nullptr || !read) {
        KXProcTableFree(&mLast.table);
        mLastIds.clear();
        mLooksSinceLast = 0;
    }
    if (focus == nullptr && read) {
        mLast.table = table;
        mLastIds = ids;
    } else {
        KXProcTableFree(&table);
    }
    mLookPass = mPass;
    return read;
}

void ProcessTrees::handOut(const KXProcTable& table, const std::vector<Tree*>& trees)
{
    // One pass hands each tree looked at its members, zombies left out (as
    // KXProcTableMembers would, one pass per tree).
    for (Tree* t : trees)
        if (t != nullptr) {
            t->known.clear();
            t->lookedPass = mPass;
        }
    for (size_t i = 0; i < table.count; ++i) {
        long owner = table.owner[i];
        if (owner < 0 || static_cast<size_t>(owner) >= trees.size() || trees[owner] == nullptr ||
            table.entries[i].state == 'Z')
            continue;
        trees[static_cast<size_t>(owner)]->known.push_back(
            {table.entries[i].pid, table.entries[i].startTime});
    }
}

void ProcessTrees::lookAt(const std::vector<uint64_t>& ids)
{
    std::vector<uint64_t> focus;
    for (uint64_t id : ids) {
        const Tree& t = tree(id);
        if (sessionTree(t) && t.lookedPass != mPass)
            focus.push_back(id);
    }
    if (!focus.empty())
        look(&focus);
}

std::vector<KXProcIdentity> ProcessTrees::membersAfterEnd(uint64_t id)
{
    Tree& t = tree(id);
    if (!sessionTree(t))
        return members(id);
    if (t.lookedPass != mPass || !t.endedBeforeLook) {
        // A look of this pass came before this end: more ends may have come
        // with it, and every leader that has ended by now is looked at now,
        // so that a burst of ends costs one look.
        std::vector<uint64_t> focus{id};
        for (auto& entry : mTrees) {
            Tree& other = entry.second;
            other.endedBeforeLook = mLookPass == mPass && other.leaderHeld &&
                                    KXPeekChildEnd(other.root.session, nullptr);
            if (other.endedBeforeLook && entry.first != id)
                focus.push_back(entry.first);
        }
        t.endedBeforeLook = true;
        look(&focus);
    }
    // It is reaped right after; its pid may be anyone's then.
    t.leaderHeld = false;
    t.endedBeforeLook = false;
    return t.known;
}

bool ProcessTrees::knownRunning(uint64_t id)
{
    Tree& t = tree(id);
    if (!sessionTree(t))
        return false;
    for (const KXProcIdentity& member : t.known) {
        KXProcStat stat;
        if (KXProcReadStat(procFd(), member.pid, &stat) == ERROR_NONE &&
            stat.startTime == member.startTime && stat.state != 'Z')
            return true;
    }
    return false;
}

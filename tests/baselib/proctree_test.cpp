// Session containment: which processes are proven a server's, the signals
// that reach exactly them, and the records that let a later service find
// them after a SIGKILL of the earlier one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "baselib/kx_proctree.h"
#include "baselib/kx_session.h"
#include "tree_fixture.h"

namespace {

class ProcTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        testutil::BecomeSubreaper();
        ASSERT_EQ(KXProcOpen("/proc", &mProc), ERROR_NONE);
    }
    void TearDown() override
    {
        KXProcTableFree(&mTable);
        close(mProc);
    }
    std::set<pid_t> Members(const KXTreeRoot& root, const std::vector<KXKnownMember>& known = {})
    {
        EXPECT_EQ(KXProcTableRead(mProc, &mTable), ERROR_NONE);
        EXPECT_EQ(KXProcTableAssign(&mTable, &root, 1, known.data(), known.size()), ERROR_NONE);
        KXProcIdentity members[16];
        size_t count = 0;
        KXProcTableMembers(&mTable, 0, members, 16, &count);
        std::set<pid_t> pids;
        for (size_t i = 0; i < std::min<size_t>(count, 16); i++)
            pids.insert(members[i].pid);
        return pids;
    }

    int mProc = -1;
    KXProcTable mTable = {nullptr, nullptr, 0, nullptr};
};

TEST(ProcStat, FieldsAreReadAfterTheLastParenthesis)
{
    KXProcStat stat;
    const char text[] = "4711 (a) b) c) S 1 4711 4700 0 -1 4194560 5 0 0 0 7 3 2 1 20 0 1 0 "
                        "123456 1000 250 18446744073709551615";
    ASSERT_EQ(KXProcStatParse(text, &stat), ERROR_NONE);
    EXPECT_EQ(stat.pid, 4711);
    EXPECT_EQ(stat.state, 'S');
    EXPECT_EQ(stat.ppid, 1);
    EXPECT_EQ(stat.session, 4700);
    EXPECT_EQ(stat.utime + stat.stime + stat.cutime + stat.cstime, 13u);
    EXPECT_EQ(stat.startTime, 123456u);
    EXPECT_EQ(stat.rssPages, 250u);
    EXPECT_EQ(KXProcStatParse("4711 (cut", &stat), ERROR_NO_NUMBER);
    EXPECT_EQ(KXProcStatParse("4711 (x) S 1 2", &stat), ERROR_NO_NUMBER);
}

TEST_F(ProcTree, TheTreeIsTheSessionAndItsDescendantsAndOutlivesItsLeader)
{
    treetest::Tree tree = treetest::StartTree(mProc);
    const KXTreeRoot root = {tree.leader, tree.leaderStart};
    EXPECT_EQ(Members(root), (std::set<pid_t>{tree.leader, tree.worker, tree.helper}));
    KXTreeUsage usage;
    KXProcTableUsage(&mTable, &usage, 1);
    EXPECT_EQ(usage.processes, 3u);
    EXPECT_GT(usage.rssPages, 0u);

    // A root whose start time is not the leader's proves nothing.
    EXPECT_TRUE(Members({tree.leader, tree.leaderStart + 1}).empty());

    // The leader ends: the helper's session is no longer a child's of the
    // tree, but the members known from the last round still prove it.
    KXProcIdentity known[16];
    size_t count = 0;
    Members(root);
    KXProcTableMembers(&mTable, 0, known, 16, &count);
    ASSERT_EQ(count, 3u);
    kill(tree.leader, SIGKILL);
    ASSERT_TRUE(testutil::WaitUntil([&] { return treetest::AllEnded({tree.leader}); }, 5000));
    std::vector<KXKnownMember> earlier;
    for (size_t i = 0; i < count; i++)
        earlier.push_back({known[i], 0});
    EXPECT_EQ(Members(root, earlier), (std::set<pid_t>{tree.worker, tree.helper}));
    EXPECT_TRUE(Members(root).count(tree.helper) == 0);

    size_t signalled = 0;
    ASSERT_EQ(KXSignalProven(mProc, known, count, SIGTERM, &signalled), ERROR_NONE);
    EXPECT_EQ(signalled, 2u);
    EXPECT_TRUE(testutil::WaitUntil([&] { return treetest::AllEnded({tree.worker, tree.helper}); }, 5000));
}

TEST_F(ProcTree, OnePassServesManyTreesAndAGivenLeaderIsNotRead)
{
    treetest::Tree first = treetest::StartTree(mProc);
    treetest::Tree second = treetest::StartTree(mProc);
    const KXTreeRoot roots[] = {{first.leader, first.leaderStart}, {second.leader, second.leaderStart}};
    // The first leader as its service knows it, and a pid that is not there.
    KXProcStat given[2] = {};
    given[0].pid = first.leader;
    given[0].ppid = getpid();
    given[0].session = first.leader;
    given[0].state = 'S';
    given[0].startTime = first.leaderStart;
    given[0].rssPages = 7;
    given[1] = given[0];
    given[1].pid = 1 << 30;
    const KXProcReadHints hints = {given, 2, nullptr, nullptr, 0};
    ASSERT_EQ(KXProcTableReadHinted(mProc, &hints, &mTable), ERROR_NONE);
    ASSERT_NE(KXProcTableFind(&mTable, first.leader), nullptr);
    EXPECT_EQ(KXProcTableFind(&mTable, first.leader)->rssPages, 7u);
    EXPECT_EQ(KXProcTableFind(&mTable, 1 << 30), nullptr);
    ASSERT_EQ(KXProcTableAssign(&mTable, roots, 2, nullptr, 0), ERROR_NONE);
    for (size_t root = 0; root < 2; root++) {
        const treetest::Tree& tree = root == 0 ? first : second;
        KXProcIdentity members[16];
        size_t count = 0;
        KXProcTableMembers(&mTable, root, members, 16, &count);
        std::set<pid_t> pids;
        for (size_t i = 0; i < std::min<size_t>(count, 16); i++)
            pids.insert(members[i].pid);
        EXPECT_EQ(pids, (std::set<pid_t>{tree.leader, tree.worker, tree.helper}));
    }
    treetest::EndTree(first);
    treetest::EndTree(second);
}

TEST_F(ProcTree, ALaterReadKeepsWhatNoTreeOwnedAndReadsTheMembersAgain)
{
    treetest::Tree tree = treetest::StartTree(mProc);
    const KXTreeRoot root = {tree.leader, tree.leaderStart};
    Members(root);
    KXProcTable later = {nullptr, nullptr, 0, nullptr};
    auto stateOf = [&](pid_t pid) {
        const KXProcStat* entry = KXProcTableFind(&later, pid);
        return entry != nullptr ? entry->state : '?';
    };
    // A stopped worker shows whether its stat was read again.
    ASSERT_EQ(kill(tree.worker, SIGSTOP), 0);
    ASSERT_TRUE(testutil::WaitUntil([&] {
        KXProcStat stat;
        return KXProcReadStat(mProc, tree.worker, &stat) == ERROR_NONE && stat.state == 'T';
    }, 5000));
    const KXProcReadHints fresh = {nullptr, 0, &mTable, nullptr, 0};
    ASSERT_EQ(KXProcTableReadHinted(mProc, &fresh, &later), ERROR_NONE);
    EXPECT_EQ(stateOf(tree.worker), 'T');
    // This process is no member: kept as no one's, with no parent to pass
    // a tree down from.
    ASSERT_NE(KXProcTableFind(&later, getpid()), nullptr);
    EXPECT_EQ(KXProcTableFind(&later, getpid())->ppid, 0);
    EXPECT_EQ(KXProcTableFind(&later, getpid())->session, 0);
    // A tree not looked at keeps its members as the earlier read saw them.
    const unsigned char keep[] = {1};
    const KXProcReadHints kept = {nullptr, 0, &mTable, keep, 1};
    ASSERT_EQ(KXProcTableReadHinted(mProc, &kept, &later), ERROR_NONE);
    EXPECT_EQ(stateOf(tree.worker), KXProcTableFind(&mTable, tree.worker)->state);
    EXPECT_NE(stateOf(tree.worker), 'T');
    KXProcTableFree(&later);
    kill(tree.worker, SIGCONT);
    treetest::EndTree(tree);
}

TEST_F(ProcTree, AnAdoptedOrphanIsTheTreeOfTheSessionItWasIn)
{
    treetest::Tree tree = treetest::StartTree(mProc);
    const KXTreeRoot roots[] = {{getpid(), 1}, {tree.leader, tree.leaderStart}};
    // The zombie leader is held, not reaped, until its tree is known.
    kill(tree.leader, SIGKILL);
    pid_t ended = 0;
    int status = 0, again = 0;
    KXProcStat stat;
    ASSERT_TRUE(testutil::WaitUntil([&] {
        return KXPeekEndedChild(mProc, &ended, &status, &stat) == ERROR_NONE && ended != 0;
    }, 5000));
    EXPECT_EQ(ended, tree.leader);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(KXTreeRootOf(&stat, roots, 2, nullptr, 0), 1);
    // A look by pid gives the same status and still leaves it to be reaped;
    // one still running, and one reaped, have not ended.
    EXPECT_EQ(KXPeekChildEnd(tree.leader, &again), 1);
    EXPECT_EQ(again, status);
    EXPECT_EQ(KXPeekChildEnd(tree.worker, &again), 0);
    ASSERT_EQ(waitpid(tree.leader, nullptr, 0), tree.leader);
    EXPECT_EQ(KXPeekChildEnd(tree.leader, &again), 0);
    const pid_t exits = fork();
    if (exits == 0)
        _exit(3);
    ASSERT_TRUE(testutil::WaitUntil([&] { return KXPeekChildEnd(exits, &status) == 1; }, 5000));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    ASSERT_EQ(waitpid(exits, nullptr, 0), exits);

    // Its worker is now this process's child: when it ends, its session
    // still names the tree; the helper is known only as a member.
    const KXKnownMember known[] = {{{tree.helper, 0}, 1}};
    kill(tree.worker, SIGKILL);
    ASSERT_TRUE(testutil::WaitUntil([&] {
        return KXPeekEndedChild(mProc, &ended, nullptr, &stat) == ERROR_NONE && ended != 0;
    }, 5000));
    EXPECT_EQ(ended, tree.worker);
    EXPECT_EQ(KXTreeRootOf(&stat, roots, 2, known, 1), 1);
    ASSERT_EQ(waitpid(tree.worker, nullptr, 0), tree.worker);
    KXProcStat helper;
    ASSERT_EQ(KXProcReadStat(mProc, tree.helper, &helper), ERROR_NONE);
    EXPECT_EQ(KXTreeRootOf(&helper, roots, 2, known, 1), -1);  // another start time
    const KXKnownMember provenHelper[] = {{{tree.helper, helper.startTime}, 1}};
    EXPECT_EQ(KXTreeRootOf(&helper, roots, 2, provenHelper, 1), 1);
    treetest::EndTree(tree);
}

TEST_F(ProcTree, AProcessWithAnotherStartTimeIsNeverSignalled)
{
    treetest::Tree tree = treetest::StartTree(mProc);
    const KXProcIdentity wrong[] = {{tree.worker, 1}, {tree.helper, tree.leaderStart + 100000}};
    size_t signalled = 99;
    ASSERT_EQ(KXSignalProven(mProc, wrong, 2, SIGKILL, &signalled), ERROR_NONE);
    EXPECT_EQ(signalled, 0u);
    EXPECT_TRUE(testutil::ProcessRunning(tree.worker));
    EXPECT_TRUE(testutil::ProcessRunning(tree.helper));
    treetest::EndTree(tree);
}

TEST_F(ProcTree, ARecordFindsTheLeftoversOfAnEarlierService)
{
    testutil::TempDir run;
    int runFd = open(run.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(runFd, 0);
    treetest::Tree tree = treetest::StartTree(mProc);
    const KXTreeRoot root = {tree.leader, tree.leaderStart};
    Members(root);
    KXProcIdentity members[16];
    size_t count = 0;
    KXProcTableMembers(&mTable, 0, members, 16, &count);
    ASSERT_EQ(KXTreeRecordWrite(runFd, "srv-127.0.0.1-8001", &root, members, count), ERROR_NONE);

    // The daemon was killed and its server's leader ended since.
    kill(tree.leader, SIGKILL);
    ASSERT_TRUE(testutil::WaitUntil([&] { return treetest::AllEnded({tree.leader}); }, 5000));
    KXTreeRoot read = {0, 0};
    KXProcIdentity recorded[16];
    size_t recordedCount = 0;
    ASSERT_EQ(KXTreeRecordRead(runFd, "srv-127.0.0.1-8001", &read, recorded, 16, &recordedCount),
              ERROR_NONE);
    EXPECT_EQ(read.session, root.session);
    EXPECT_EQ(read.leaderStart, root.leaderStart);
    ASSERT_EQ(recordedCount, 3u);
    KXProcIdentity left[16];
    size_t leftCount = 0;
    ASSERT_EQ(KXTreeRecordLeftovers(mProc, &read, recorded, recordedCount, left, 16, &leftCount),
              ERROR_NONE);
    std::set<pid_t> leftPids;
    for (size_t i = 0; i < leftCount; i++)
        leftPids.insert(left[i].pid);
    EXPECT_EQ(leftPids, (std::set<pid_t>{tree.worker, tree.helper}));
    ASSERT_EQ(KXSignalProven(mProc, left, leftCount, SIGKILL, nullptr), ERROR_NONE);
    EXPECT_TRUE(testutil::WaitUntil([&] { return treetest::AllEnded({tree.worker, tree.helper}); }, 5000));

    // Records are never trusted blindly, nor followed through a link.
    ASSERT_EQ(KXTreeRecordRemove(runFd, "srv-127.0.0.1-8001"), ERROR_NONE);
    EXPECT_EQ(KXTreeRecordRead(runFd, "srv-127.0.0.1-8001", &read, recorded, 16, &recordedCount),
              ERROR_NOT_FOUND);
    testutil::WriteFile(run / "bad", "session 12 34\nmember x 1\n");
    EXPECT_EQ(KXTreeRecordRead(runFd, "bad", &read, recorded, 16, &recordedCount), ERROR_NO_NUMBER);
    ASSERT_EQ(symlink((run / "bad").c_str(), (run / "link").c_str()), 0);
    EXPECT_EQ(KXTreeRecordRead(runFd, "link", &read, recorded, 16, &recordedCount), ERROR_FILE_OPEN);
    EXPECT_EQ(KXTreeRecordWrite(runFd, "../escape", &root, members, 0), ERROR_PARAMETER);
    close(runFd);
}

}  // namespace

// The reload's plan, from the running table and the one the configuration
// gives now, without a socket or a process: what is added, removed, changed
// and kept, in which order, and what counts as a record's command.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "appserver/ReloadPlan.h"
#include "shared/manager_peer.h"
#include "common/test_util.h"

namespace {

class ReloadPlanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TARVEL_PERL", dir.path().c_str(), 1);
        setenv("TARVEL_CARTRIDGES", dir.path().c_str(), 1);
    }
    AppServerProcess Record(const std::string& host, unsigned short port,
                            const std::string& options = "")
    {
        return AppServerProcess(dir.path(), options, host, port, 0);
    }
    static std::vector<std::string> Names(const std::vector<ReloadPlan::Change>& changes)
    {
        std::vector<std::string> names;
        for (const auto& c : changes)
            names.push_back(c.host + ":" + std::to_string(c.port));
        return names;
    }
    static std::vector<std::string> Names(const std::vector<AppServerProcess>& records)
    {
        std::vector<std::string> names;
        for (const auto& r : records)
            names.push_back(r.mHost + ":" + std::to_string(r.mPort));
        return names;
    }

    testutil::TempDir dir;
};

using List = std::vector<std::string>;

// Keys are address and port together: the same port on another address is
// another server, and an empty host is an address of its own. Added and
// changed follow the new table's order, removed the running one's.
TEST_F(ReloadPlanTest, AddedRemovedChangedAndUnchangedInTheirOrders)
{
    std::vector<AppServerProcess> running = {
        Record("127.0.0.1", 8003), Record("127.0.0.1", 8001), Record("127.0.0.2", 8001),
        Record("", 8001),          Record("127.0.0.1", 8009), Record("127.0.0.1", 8002),
        Record("127.0.0.1", 8004)};
    std::vector<AppServerProcess> fresh = {
        Record("127.0.0.1", 8004, "-w"), Record("127.0.0.1", 8007), Record("127.0.0.1", 8001),
        Record("127.0.0.1", 8002, "-d"), Record("127.0.0.3", 8001), Record("", 8001),
        Record("127.0.0.1", 8005)};
    // A record's own mutable state does not make it differ.
    ManagerTestPeer::place(running[1], ServerState::Serving, 4242);
    running[1].mRestarts = 3;

    ReloadPlan plan = PlanReload(running, fresh);
    EXPECT_EQ(Names(plan.added), (List{"127.0.0.1:8007", "127.0.0.3:8001", "127.0.0.1:8005"}));
    EXPECT_EQ(Names(plan.changed), (List{"127.0.0.1:8004", "127.0.0.1:8002"}));
    EXPECT_EQ(Names(plan.removed), (List{"127.0.0.1:8003", "127.0.0.2:8001", "127.0.0.1:8009"}));
    EXPECT_EQ(plan.unchanged, 2u);
    // A change carries the new command, a removal the old one, an addition
    // the whole new record.
    ASSERT_EQ(plan.changed.size(), 2u);
    EXPECT_EQ(plan.changed[0].command, fresh[0].mCommand);
    EXPECT_NE(plan.changed[0].command.find(" -w "), std::string::npos);
    ASSERT_EQ(plan.removed.size(), 3u);
    EXPECT_EQ(plan.removed[0].command, running[0].mCommand);
    ASSERT_EQ(plan.added.size(), 3u);
    EXPECT_EQ(plan.added[1].mCommand, fresh[4].mCommand);
    EXPECT_EQ(plan.added[1].mState, ServerState::Down);
    // Every running record is accounted for once.
    EXPECT_EQ(plan.changed.size() + plan.removed.size() + plan.unchanged, running.size());
    EXPECT_EQ(plan.changed.size() + plan.added.size() + plan.unchanged, fresh.size());
}

// What a record will run next is its command: a pending command (a change
// that waits for the process's end) counts, the one still running does not.
// A record on its way out that the configuration names again is changed,
// whatever its command, so that it stays.
TEST_F(ReloadPlanTest, PendingCommandCountsAndARecordBeingRemovedComesBackChanged)
{
    std::vector<AppServerProcess> running = {Record("127.0.0.1", 8001), Record("127.0.0.1", 8002),
                                             Record("127.0.0.1", 8003), Record("127.0.0.1", 8004)};
    std::vector<AppServerProcess> fresh = {Record("127.0.0.1", 8001, "-x"),
                                           Record("127.0.0.1", 8002, "-x"),
                                           Record("127.0.0.1", 8003), Record("127.0.0.1", 8004)};
    // 8001 already waits to run the new command: nothing left to change.
    running[0].mNextCommand = fresh[0].mCommand;
    // 8002 waits to run a command the configuration no longer gives.
    running[1].mNextCommand = Record("127.0.0.1", 8002, "-y").mCommand;
    // 8003 is being removed, with an unchanged command; 8004 is being
    // stopped by the operator, which does not take it out of the table.
    ManagerTestPeer::place(running[2], ServerState::StopRequested, 0, StopPurpose::Remove);
    ManagerTestPeer::place(running[3], ServerState::Terminating, 0, StopPurpose::Hold);

    ReloadPlan plan = PlanReload(running, fresh);
    EXPECT_EQ(Names(plan.changed), (List{"127.0.0.1:8002", "127.0.0.1:8003"}));
    ASSERT_EQ(plan.changed.size(), 2u);
    EXPECT_EQ(plan.changed[0].command, fresh[1].mCommand);
    EXPECT_EQ(plan.changed[1].command, fresh[2].mCommand);
    EXPECT_EQ(plan.unchanged, 2u);
    EXPECT_TRUE(plan.added.empty());
    EXPECT_TRUE(plan.removed.empty());

    // Without the configuration naming it, the leaving record is removed
    // (again); the plan does not care how far its stop has come.
    fresh.erase(fresh.begin() + 2);
    plan = PlanReload(running, fresh);
    EXPECT_EQ(Names(plan.removed), (List{"127.0.0.1:8003"}));
    EXPECT_EQ(Names(plan.changed), (List{"127.0.0.1:8002"}));
}

TEST_F(ReloadPlanTest, EmptyTablesOnEitherSide)
{
    std::vector<AppServerProcess> none;
    std::vector<AppServerProcess> two = {Record("127.0.0.1", 8002), Record("127.0.0.1", 8001)};

    ReloadPlan plan = PlanReload(none, none);
    EXPECT_TRUE(plan.added.empty() && plan.changed.empty() && plan.removed.empty());
    EXPECT_EQ(plan.unchanged, 0u);

    plan = PlanReload(none, two);
    EXPECT_EQ(Names(plan.added), (List{"127.0.0.1:8002", "127.0.0.1:8001"}));
    EXPECT_TRUE(plan.changed.empty() && plan.removed.empty());

    plan = PlanReload(two, none);
    EXPECT_EQ(Names(plan.removed), (List{"127.0.0.1:8002", "127.0.0.1:8001"}));
    EXPECT_TRUE(plan.added.empty() && plan.changed.empty());
    EXPECT_EQ(plan.unchanged, 0u);

    plan = PlanReload(two, two);
    EXPECT_TRUE(plan.added.empty() && plan.changed.empty() && plan.removed.empty());
    EXPECT_EQ(plan.unchanged, 2u);
}

}  // namespace

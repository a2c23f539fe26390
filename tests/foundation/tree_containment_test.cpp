// The containment chosen at start: what CONTAINMENT asks for against what the
// machine allows, and the figures of a tree in the operator's units.
#include <gtest/gtest.h>

#include <unistd.h>

#include "foundation/TreeContainment.h"
#include "foundation/Exceptions.h"

namespace {

TEST(TreeContainment, SessionIsAlwaysPossibleAndCgroupOnlyWhereAllowed)
{
    const TreeContainment session = ChooseContainment(Containment::Session, "/opt/a");
    EXPECT_EQ(session.mode, Containment::Session);
    EXPECT_EQ(DescribeContainment(session), "containment: session");

    KXCgroupPlace place;
    KXCgroupVerdict verdict = KXCGROUP_NO_MOUNT;
    if (KXCgroupLocate(nullptr, &place) == ERROR_NONE)
        KXCgroupDecide(&place, &verdict);
    const TreeContainment chosen = ChooseContainment(Containment::Auto, "/opt/a");
    if (verdict != KXCGROUP_USABLE) {
        EXPECT_EQ(chosen.mode, Containment::Session);
        EXPECT_EQ(DescribeContainment(chosen),
                  std::string("containment: session (") + KXCgroupVerdictText(verdict) + ")");
        EXPECT_THROW(ChooseContainment(Containment::Cgroup, "/opt/a"), CWIException);
        GTEST_SKIP() << "no cgroup on this machine: " << KXCgroupVerdictText(verdict);
    }
    EXPECT_EQ(chosen.mode, Containment::Cgroup);
    const TreeContainment forced = ChooseContainment(Containment::Cgroup, "/opt/a");
    EXPECT_EQ(forced.parent, chosen.parent);
    EXPECT_NE(ChooseContainment(Containment::Cgroup, "/opt/b").parent, chosen.parent);
    EXPECT_EQ(DescribeContainment(chosen).rfind(std::string("containment: cgroup (") + place.mount, 0), 0u)
        << DescribeContainment(chosen);
}

TEST(TreeContainment, FiguresAreInBytesAndSeconds)
{
    KXTreeUsage usage{3, 10, 250};
    const TreeFigures session = FiguresOf(usage, 0, false);
    EXPECT_EQ(session.processes, 3u);
    EXPECT_EQ(session.memoryBytes, 10u * sysconf(_SC_PAGESIZE));
    EXPECT_DOUBLE_EQ(session.cpuSeconds, 250.0 / sysconf(_SC_CLK_TCK));
    EXPECT_DOUBLE_EQ(FiguresOf(usage, 1500000, true).cpuSeconds, 1.5);
}

}  // namespace

#include "foundation/TreeContainment.h"

#include <unistd.h>

#include "foundation/Exceptions.h"

TreeContainment ChooseContainment(Containment setting, const std::string& installation)
{
    TreeContainment containment;
    if (setting == Containment::Session)
        return containment;
    KXCgroupVerdict verdict = KXCGROUP_NO_MOUNT;
    if (KXCgroupLocate(nullptr, &containment.place) == ERROR_NONE)
        KXCgroupDecide(&containment.place, &verdict);
    char parent[64];
    if (verdict == KXCGROUP_USABLE &&
        KXCgroupInstallationName(installation.c_str(), parent, sizeof parent) == ERROR_NONE) {
        containment.mode = Containment::Cgroup;
        containment.parent = parent;
        return containment;
    }
    containment.reason = KXCgroupVerdictText(verdict);
    if (setting == Containment::Cgroup)
        throw CWIException(ERROR_STATE, "CONTAINMENT=cgroup: %s", containment.reason.c_str());
    return containment;
}

std::string DescribeContainment(const TreeContainment& containment)
{
    if (containment.mode == Containment::Cgroup) {
        std::string own = containment.place.own;
        if (own == "/")
            own.clear();
        return std::string("containment: cgroup (") + containment.place.mount + own + "/" +
               containment.parent + ")";
    }
    if (containment.reason.empty())
        return "containment: session";
    return "containment: session (" + containment.reason + ")";
}

TreeFigures FiguresOf(const KXTreeUsage& usage, std::uint64_t cpuUsec, bool cgroup)
{
    static const long pageSize = sysconf(_SC_PAGESIZE);
    static const long ticks = sysconf(_SC_CLK_TCK);
    TreeFigures figures;
    figures.processes = usage.processes;
    figures.memoryBytes = usage.rssPages * static_cast<std::uint64_t>(pageSize > 0 ? pageSize : 4096);
    figures.cpuSeconds = cgroup ? double(cpuUsec) / 1e6
                                : double(usage.cpuTicks) / double(ticks > 0 ? ticks : 100);
    return figures;
}

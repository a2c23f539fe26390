// How the servers' process trees are contained on this machine, chosen once
// at start from CONTAINMENT and what the machine allows, and the figures of
// a tree in the units the operator sees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "baselib/kx_cgroup.h"
#include "baselib/kx_proctree.h"

// How a server's process tree is held together: a cgroup of its own where the
// service may create one (auto), always (cgroup: the start fails where it
// may not), or only by the server's session and the service as subreaper.
enum class Containment { Auto, Cgroup, Session };

struct TreeContainment {
    Containment mode = Containment::Session;  // Cgroup or Session, never Auto
    KXCgroupPlace place{};                    // where the service's cgroup is (cgroup mode)
    std::string parent;  // the installation's cgroup below the service's own (cgroup mode)
    std::string reason;  // why not cgroup, when auto chose the session
};

// The containment for CONTAINMENT=setting of the installation at path
// installation: cgroup where the service may create cgroups (its parent
// named after the installation, so that a later start finds the leftovers),
// else the session. Throws CWIException "CONTAINMENT=cgroup: <reason>" when
// cgroup was asked for and the machine does not allow it.
TreeContainment ChooseContainment(Containment setting, const std::string& installation);

// The line that says at start what is in use, e.g. "containment: cgroup
// (/sys/fs/cgroup/tarvel-0123456789abcdef)" or "containment: session (the
// service may not write its cgroup)".
std::string DescribeContainment(const TreeContainment& containment);

// What the operator is shown of one tree.
struct TreeFigures {
    std::size_t processes = 0;
    std::uint64_t memoryBytes = 0;  // the sum of the members' resident memory
    double cpuSeconds = 0;          // user + system since the server's start
};

// The figures of a usage reading: in cgroup mode the CPU time is the
// cgroup's (cpuUsec, ended members included), else the members' own ticks
// and those of the children they waited for.
TreeFigures FiguresOf(const KXTreeUsage& usage, std::uint64_t cpuUsec, bool cgroup);

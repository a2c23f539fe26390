/* The usage of a server's tree in cgroup containment: its members from
 * cgroup.procs and their resident pages from /proc, and the cgroup's own CPU
 * count, which keeps the time of members that have ended. */
#ifndef KX_CGROUPUSAGE_H
#define KX_CGROUPUSAGE_H

#include <stdint.h>

#include "baselib/kx_proctree.h"
#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Fills usage (processes and rssPages from the members' stat under procFd,
 * at most KX_CGROUP_MAX_LISTED of them;
 * cpuTicks stays 0) and *cpuUsec from cpu.stat of the cgroup dirFd.
 * ERROR_FILE_* with errno when a cgroup file cannot be read. */
KXStatus KXCgroupUsage(int procFd, int dirFd, KXTreeUsage *usage, uint64_t *cpuUsec);

#ifdef __cplusplus
}
#endif

#endif

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

/* Most members counted; a larger tree is counted up to it. */
#define KX_CGROUP_USAGE_MAX_MEMBERS 65536

/* Fills usage (processes and rssPages from the members' stat under procFd;
 * cpuTicks stays 0) and *cpuUsec from cpu.stat of the cgroup dirFd.
 * ERROR_FILE_* with errno when a cgroup file cannot be read. */
KXStatus KXCgroupUsage(int procFd, int dirFd, KXTreeUsage *usage, uint64_t *cpuUsec);

#ifdef __cplusplus
}
#endif

#endif

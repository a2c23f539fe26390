/* One accounting reading of a server's cgroup; see kx_cgroupusage.h. */
#include "baselib/kx_cgroupusage.h"

#include <stdlib.h>
#include <string.h>

#include "baselib/kx_cgroup.h"
#include "baselib/kx_procstat.h"

KXStatus KXCgroupUsage(int procFd, int dirFd, KXTreeUsage *usage, uint64_t *cpuUsec)
{
    pid_t small[64];
    pid_t *pids;
    size_t count = 0;
    size_t i;
    KXStatus status;

    if (usage == NULL || cpuUsec == NULL)
        return ERROR_PARAMETER;
    memset(usage, 0, sizeof *usage);
    /* Most trees are small: a bigger list only for the few that are not. */
    status = KXCgroupListMembers(dirFd, small, sizeof small / sizeof small[0], &pids, &count);
    if (status == ERROR_BUFFER_SIZE)
        status = ERROR_NONE;
    for (i = 0; status == ERROR_NONE && i < count; i++) {
        KXProcStat stat;
        if (KXProcReadStat(procFd, pids[i], &stat) != ERROR_NONE || stat.state == 'Z')
            continue;
        usage->processes++;
        usage->rssPages += stat.rssPages;
    }
    if (status == ERROR_NONE)
        status = KXCgroupCpuUsec(dirFd, cpuUsec);
    if (pids != small)
        free(pids);
    return status;
}

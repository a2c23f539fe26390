/* Containment of a server's process tree in a cgroup of the unified
 * hierarchy (cgroup v2): where the hierarchy is, whether this process may
 * create cgroups below its own, and the operations on one server's cgroup.
 * Only core files are used (cgroup.procs, cgroup.kill, cgroup.events,
 * cpu.stat), which every cgroup has with no controller enabled; so the
 * service may stay in its own cgroup beside the servers' ones. Every path is
 * opened below a directory descriptor without following symbolic links. */
#ifndef KX_CGROUP_H
#define KX_CGROUP_H

#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Where the service's cgroup is: the cgroup2 mount point and the service's
 * own cgroup relative to it ("/" or "/system.slice/x.service"). */
typedef struct KXCgroupPlace {
    char mount[PATH_MAX];
    char own[PATH_MAX];
} KXCgroupPlace;

/* Why cgroups cannot be used; KXCGROUP_USABLE when they can. */
typedef enum KXCgroupVerdict {
    KXCGROUP_USABLE = 0,
    KXCGROUP_NO_MOUNT,       /* no cgroup2 file system mounted */
    KXCGROUP_NO_OWN,         /* /proc/self/cgroup has no "0::" line */
    KXCGROUP_NOT_VISIBLE,    /* own cgroup not under the mount (namespace) */
    KXCGROUP_THREADED,       /* own cgroup is threaded: no domain children */
    KXCGROUP_NOT_WRITABLE,   /* own cgroup's directory is not ours to write */
    KXCGROUP_NOT_DELEGATED   /* a systemd unit's cgroup without Delegate=yes */
} KXCgroupVerdict;

/* The mount point of the first cgroup2 entry of a mountinfo text (octal
 * escapes undone) into mount (size bytes). ERROR_NOT_FOUND when there is
 * none, ERROR_BUFFER_SIZE when it does not fit. */
KXStatus KXCgroupParseMountinfo(const char *text, char *mount, size_t size);

/* The path of the "0::" line of a /proc/PID/cgroup text into own (size
 * bytes), " (deleted)" refused. ERROR_NOT_FOUND when there is none. */
KXStatus KXCgroupParseOwn(const char *text, char *own, size_t size);

/* Fills place from /proc/self/mountinfo and /proc/self/cgroup; when own ends
 * with "/" + leaf (the leaf this service moves into, or null for none) that
 * last part is dropped, so a restarted service finds the same place. Status
 * as the parsers, or ERROR_FILE_* with errno when a file cannot be read. */
KXStatus KXCgroupLocate(const char *leaf, KXCgroupPlace *place);

/* Whether child cgroups may be created below place's own cgroup; *verdict
 * says why not. Under systemd (a ".service" or ".scope" cgroup) delegation
 * must be marked by the "trusted.delegate" or "user.delegate" attribute;
 * elsewhere (a root shell's cgroup) a writable directory suffices. Returns
 * ERROR_NONE whatever the verdict, ERROR_PARAMETER for null arguments. */
KXStatus KXCgroupDecide(const KXCgroupPlace *place, KXCgroupVerdict *verdict);

/* A one-line English reason for a verdict; static text. */
const char *KXCgroupVerdictText(KXCgroupVerdict verdict);

/* Opens mount + own + "/" + sub (sub may be null or empty) as a directory
 * descriptor (O_DIRECTORY|O_NOFOLLOW|O_CLOEXEC) that the caller closes, and
 * creates it first (mode 0755) when create is non-zero and it is missing.
 * sub must pass KXCgroupNameIsSafe for each '/'-separated part. */
KXStatus KXCgroupOpenPlace(const KXCgroupPlace *place, const char *sub, int create, int *dirFd);

/* 1 when name is a usable cgroup name: 1..200 characters of [A-Za-z0-9._-],
 * not "." or "..", not starting with "cgroup." or a controller's prefix. */
int KXCgroupNameIsSafe(const char *name);

/* The cgroup name of a server: "srv-" + host + "-" + port with every
 * character outside [A-Za-z0-9.-] replaced by '_' (so "::1" becomes "__1";
 * '_' never occurs in a host). ERROR_BUFFER_SIZE when it does not fit. */
KXStatus KXCgroupServerName(const char *host, unsigned port, char *name, size_t size);

/* The per-installation parent's name: "tarvel-" + 16 hex digits of a hash of
 * the installation's path, the same for every start of that installation. */
KXStatus KXCgroupInstallationName(const char *installation, char *name, size_t size);

/* Creates the cgroup name below parentFd (an existing one is reused: it is a
 * leftover the caller has emptied) and opens it as KXCgroupOpenPlace does;
 * the descriptor is what a spawn passes to CLONE_INTO_CGROUP. *made (may be
 * null) is 1 when this call made it. */
KXStatus KXCgroupCreate(int parentFd, const char *name, int *dirFd, int *made);

/* Removes the empty cgroup name below parentFd. ERROR_STATE (errno EBUSY)
 * while it has members or children; ERROR_NOT_FOUND when it is not there. */
KXStatus KXCgroupRemove(int parentFd, const char *name);

/* The pids of cgroup.procs into pids (capacity entries); *count gets how
 * many. ERROR_BUFFER_SIZE when there are more (the first capacity kept). */
KXStatus KXCgroupMembers(int dirFd, pid_t *pids, size_t capacity, size_t *count);

/* Moves pid into the cgroup (writes cgroup.procs). */
KXStatus KXCgroupMoveProcess(int dirFd, pid_t pid);

/* Enables controllers ("+memory +pids") for the children of dirFd (writes
 * cgroup.subtree_control). The kernel refuses (EBUSY) while dirFd has
 * processes of its own and is not the root: the service moves itself into
 * a leaf of its cgroup first (KXCgroupOpenPlace with create, then
 * KXCgroupMoveProcess), and KXCgroupLocate with that leaf finds the same
 * place again. ERROR_PARAMETER for text other than [a-z +-]. None of the
 * other operations needs a controller. */
KXStatus KXCgroupEnableControllers(int dirFd, const char *controllers);

/* Kills every member at once through cgroup.kill; where the kernel has no
 * cgroup.kill, SIGKILL to each member (a member is proven ours), repeated
 * while members appear, at most a few rounds. */
KXStatus KXCgroupKill(int dirFd);

/* Most members listed at once, for a signal or a count. */
#define KX_CGROUP_MAX_LISTED 65536

/* The members of dirFd: into the caller's small buffer when they fit, else
 * into one of up to KX_CGROUP_MAX_LISTED that the caller frees (*pids !=
 * small). ERROR_BUFFER_SIZE when even that was too small or could not be
 * had (*count then says how many were listed). */
KXStatus KXCgroupListMembers(int dirFd, pid_t *small, size_t smallCount, pid_t **pids,
                             size_t *count);

/* SIGTERM then SIGCONT to every member but skip (0: none; the caller has
 * signalled it first), at most KX_CGROUP_MAX_LISTED of them (a stopped
 * process must run to act on SIGTERM); *signalled (may be null) gets how
 * many were reached. */
KXStatus KXCgroupTerminate(int dirFd, pid_t skip, size_t *signalled);

/* Opens cgroup.events for reading; the caller polls it for POLLPRI (the
 * kernel signals each change of populated) and closes it. */
KXStatus KXCgroupOpenEvents(int dirFd, int *eventsFd);

/* Whether any process is left in the cgroup or below: reads eventsFd from
 * its start (a new read after each POLLPRI). */
KXStatus KXCgroupPopulated(int eventsFd, int *populated);

/* Whether the cgroup is frozen (cgroup.events); 0 on kernels without the
 * freezer, and when it cannot be read. A process started in a frozen
 * cgroup stops before it runs. */
KXStatus KXCgroupFrozen(int dirFd, int *frozen);

/* CPU time of every process that ever ran in the cgroup, ended ones
 * included: usage_usec of cpu.stat. */
KXStatus KXCgroupCpuUsec(int dirFd, uint64_t *usec);

/* Calls visit(name, context) for each child cgroup of dirFd with a safe
 * name (leftovers of an earlier start below the installation's parent);
 * stops when it returns non-zero. ERROR_FILE_IO with errno when the
 * directory cannot be listed. */
KXStatus KXCgroupForEachChild(int dirFd, int (*visit)(const char *name, void *context),
                              void *context);

#ifdef __cplusplus
}
#endif

#endif

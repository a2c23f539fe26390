/* Starting a server's process without copying the service's address space:
 * the child shares the caller's memory until it execs, so a start costs the
 * same whatever the service has mapped. Between the clone and the exec the
 * child makes bare system calls only, in this order: its own session, the
 * death signal, default signals, its output file, its cgroup. It logs
 * nothing itself: it leaves its failures in memory it owns until its exec or
 * end, and the caller logs them as the child's lines.
 *
 * A start may overlap the caller's next work: where the kernel has clone3,
 * the caller goes on (its bookkeeping, the next start) while the child makes
 * its steps and execs, on another CPU if there is one. A caller that waited
 * for each exec would leave a CPU idle for most of every start. */
#ifndef KX_SPAWN_H
#define KX_SPAWN_H

#include <sys/types.h>

#include "baselib/kx_log.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KXSpawnRequest {
    char *const *argv;      /* program path and its words, null-ended; caller's */
    int argvError;          /* nonzero: argv could not be made; the child fails with this errno */
    const char *command;    /* the command as configured, for the child's failure line */
    const char *outputPath; /* standard output and error; NULL: inherited */
    int newSession;         /* nonzero: the child leads a session of its own */
    int deathSignal;        /* sent to the child when the caller's thread ends; 0: none */
    int cgroupFd;           /* a cgroup v2 directory the child runs in; -1: the caller's */
    KXLog *log;             /* where the child's failures are logged; may be NULL */
    char *const *envp;      /* the child's environment, null-ended; caller's; NULL: the caller's own */
    int overlap;            /* nonzero: return before the child's exec; see KXSpawnFinish */
} KXSpawnRequest;

/* Starts the child the request describes; the request and everything it
 * points to are copied, and stay the caller's. Returns its pid (the
 * caller's to reap), or -1 with errno when no child could be made (EAGAIN:
 * every slot is held by a child stopped before its exec). Without overlap
 * it returns after the child's exec or end, with its lines logged, or after
 * 10 s with a line that names a child stopped before its exec.
 * A child that cannot open its output file keeps the inherited output;
 * every other failure after the clone (session, death signal, cgroup, exec)
 * ends the child with status 1. Each failure is logged as the child's line,
 * except a death signal that cannot be armed. Thread-safe. */
pid_t KXSpawn(const KXSpawnRequest *request);

/* Waits until every child KXSpawn started has exec'd or ended, at most 10 s
 * for each, and logs the failures they left. Cheap when none is pending. */
void KXSpawnFinish(void);

#ifdef __cplusplus
}
#endif

#endif

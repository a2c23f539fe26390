/* Starting a server's process without copying the service's address space:
 * the child shares the caller's memory until it execs (the caller waits
 * meanwhile), so a start costs the same whatever the service has mapped.
 * Between the clone and the exec the child makes async-signal-safe calls
 * only, in this order: its own session, the death signal, default signals,
 * its output file, its cgroup. */
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
} KXSpawnRequest;

/* Starts the child the request describes. Returns its pid (the caller's to
 * reap), or -1 with errno when no child could be made. A child that cannot
 * open its output file logs that and keeps the inherited output; every
 * other failure after the clone (session, death signal, cgroup, exec) is
 * logged by the child, which then exits with status 1. */
pid_t KXSpawn(const KXSpawnRequest *request);

#ifdef __cplusplus
}
#endif

#endif

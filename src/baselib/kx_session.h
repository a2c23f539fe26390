/* Session containment of the servers: the service as the reaper of
 * orphaned descendants, signals only to processes proven the server's (by
 * pid and start time, re-read just before the signal; never a kill() of a
 * process group), and the record of each server's tree in the run
 * directory, so that a service started after a SIGKILL of the earlier one
 * finds what is left of its trees. */
#ifndef KX_SESSION_H
#define KX_SESSION_H

#include <stddef.h>

#include "baselib/kx_proctree.h"
#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Most members a record keeps; a tree with more keeps its session's proof. */
#define KX_TREE_RECORD_MAX_MEMBERS 4096

/* Makes this process the reaper of its orphaned descendants
 * (PR_SET_CHILD_SUBREAPER); ERROR_GENERAL with errno when prctl fails. */
KXStatus KXBecomeSubreaper(void);

/* The first ended child of this process without reaping it
 * (waitid(WNOWAIT)): *pid gets it, or 0 when no child has ended, *status
 * (may be null) its wait status as waitpid would give it, and *stat (may be
 * null: not read) its stat read while it is still a zombie (its session and
 * start time tell whose tree it was in). The caller reaps it after.
 * ERROR_NOT_FOUND (errno ECHILD) when there is no child at all;
 * ERROR_GENERAL with errno. */
KXStatus KXPeekEndedChild(int procFd, pid_t *pid, int *status, KXProcStat *stat);

/* 1 when child pid has ended and is not reaped yet, with *status (may be
 * null) its wait status as waitpid would give it; 0 otherwise. */
int KXPeekChildEnd(pid_t pid, int *status);

/* The root (index into roots) that process belongs to: a known member with
 * its pid and start time, else the root whose session it is in; -1 for
 * none. For one process at a time, as each adopted orphan is reaped. */
long KXTreeRootOf(const KXProcStat *process, const KXTreeRoot *roots, size_t rootCount,
                  const KXKnownMember *known, size_t knownCount);

/* Sends sig to each process of the list that is still the one named (same
 * pid and start time under procFd), zombies skipped; with SIGTERM a SIGCONT
 * follows, so that a stopped process can act on it. *signalled (may be null)
 * gets how many were reached. ERROR_GENERAL with errno when kill() fails
 * for another reason than the process having just ended. */
KXStatus KXSignalProven(int procFd, const KXProcIdentity *members, size_t count, int sig,
                        size_t *signalled);

/* Writes the record name in runFd (replaced atomically: a temporary file and
 * rename, no symbolic link followed): the root and up to
 * KX_TREE_RECORD_MAX_MEMBERS members. ERROR_PARAMETER for a name outside
 * [A-Za-z0-9._-]; ERROR_FILE_* with errno. */
KXStatus KXTreeRecordWrite(int runFd, const char *name, const KXTreeRoot *root,
                           const KXProcIdentity *members, size_t count);

/* Reads record name of runFd: its root, and its members into members
 * (capacity of them; *count gets how many were kept). ERROR_NOT_FOUND when
 * there is no record, ERROR_NO_NUMBER for a malformed one (never trusted),
 * ERROR_FILE_* with errno. */
KXStatus KXTreeRecordRead(int runFd, const char *name, KXTreeRoot *root,
                          KXProcIdentity *members, size_t capacity, size_t *count);

/* Removes record name of runFd; a missing one is no error. */
KXStatus KXTreeRecordRemove(int runFd, const char *name);

/* What is left of a recorded tree now: reads every process under procFd and
 * puts those proven by the record (see kx_proctree.h) into left (capacity
 * of them; *count gets how many there are, zombies left out). */
KXStatus KXTreeRecordLeftovers(int procFd, const KXTreeRoot *root, const KXProcIdentity *recorded,
                               size_t recordedCount, KXProcIdentity *left, size_t capacity,
                               size_t *count);

#ifdef __cplusplus
}
#endif

#endif

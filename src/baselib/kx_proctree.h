/* The process trees of the servers in session containment: one pass over
 * /proc takes a snapshot of every process, and each process is assigned to
 * the server whose tree it is proven to belong to. A process is proven a
 * server's when
 *   - it is in the session of a leader that is still there (alive, or the
 *     service's unreaped zombie) with the start time recorded at its spawn;
 *   - or it is a process known from an earlier round (or a record of an
 *     earlier service) with the same pid and start time;
 *   - or it is in the session of such a known process (the session's number
 *     is pinned while any member lives);
 *   - or its parent is proven the server's (a child that called setsid()).
 * Nothing else is ever signalled. */
#ifndef KX_PROCTREE_H
#define KX_PROCTREE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "baselib/kx_procstat.h"
#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A process named so that a reused pid is not mistaken for it. */
typedef struct KXProcIdentity {
    pid_t pid;
    uint64_t startTime;
} KXProcIdentity;

/* The root of a server's tree: the session its leader opened at spawn. */
typedef struct KXTreeRoot {
    pid_t session;        /* the leader's pid */
    uint64_t leaderStart; /* the leader's start time */
} KXTreeRoot;

/* A process proven to belong to root number root of a KXProcTableAssign. */
typedef struct KXKnownMember {
    KXProcIdentity identity;
    size_t root;
} KXKnownMember;

/* Every process of the host at one moment, sorted by pid; owner[i] is the
 * index of the root entries[i] belongs to, or -1; inode[i] is the number
 * /proc listed its directory with. Owned by the caller, freed with
 * KXProcTableFree. */
typedef struct KXProcTable {
    KXProcStat *entries;
    long *owner;
    size_t count;
    uint64_t *inode;
} KXProcTable;

/* The usage of one tree: its processes, their resident pages and their CPU
 * clock ticks (user + system) while they ran. */
typedef struct KXTreeUsage {
    size_t processes;
    uint64_t rssPages;
    uint64_t cpuTicks;
} KXTreeUsage;

/* Most processes a table holds; more make KXProcTableRead fail with
 * ERROR_BUFFER_SIZE rather than grow without bound. */
#define KX_PROCTABLE_MAX 4194304

/* Reads every process under procFd into table (emptied first). Processes
 * that end during the pass are left out. ERROR_MEMORY, ERROR_BUFFER_SIZE, or
 * ERROR_FILE_IO with errno when /proc cannot be listed. */
KXStatus KXProcTableRead(int procFd, KXProcTable *table);

/* What a read of the table may take as it is, without reading stats:
 * - given (givenCount entries, any order): processes the caller knows
 *   without asking, such as its own living children, whose pids cannot be
 *   reused while they are not reaped;
 * - previous (may be null; a table of the same roots after
 *   KXProcTableAssign): a process it listed with the same pid and inode
 *   - that no root owned is kept as no one's, with no parent and no
 *     session. It cannot have become a member since: it can join no session
 *     but a new one of its own, and a process it is re-parented to is of
 *     its own kind;
 *   - that root r owned is kept as it was when keep[r] (r < keepCount) is
 *     set: for trees the caller does not look at now. */
typedef struct KXProcReadHints {
    const KXProcStat *given;
    size_t givenCount;
    const KXProcTable *previous;
    const unsigned char *keep;
    size_t keepCount;
} KXProcReadHints;

/* As KXProcTableRead, reading fewer stats by hints (may be null). Status as
 * KXProcTableRead; ERROR_PARAMETER for hints that name arrays they lack. */
KXStatus KXProcTableReadHinted(int procFd, const KXProcReadHints *hints, KXProcTable *table);

/* Frees what the table holds and empties it. */
void KXProcTableFree(KXProcTable *table);

/* The entry of pid, or null when the table has none. */
const KXProcStat *KXProcTableFind(const KXProcTable *table, pid_t pid);

/* Sets table->owner from roots (rootCount of them) and known (knownCount
 * processes proven earlier) by the rules above. ERROR_PARAMETER when a
 * known member names a root number out of range; ERROR_MEMORY. */
KXStatus KXProcTableAssign(KXProcTable *table, const KXTreeRoot *roots, size_t rootCount,
                           const KXKnownMember *known, size_t knownCount);

/* The members of root after KXProcTableAssign into members (capacity of
 * them), zombies left out; *count gets how many there are in all, so
 * *count > capacity means the list was cut. */
void KXProcTableMembers(const KXProcTable *table, size_t root, KXProcIdentity *members,
                        size_t capacity, size_t *count);

/* The usage of each of rootCount roots after KXProcTableAssign into
 * usage[root], in one pass over the table; zombies count as no process. */
void KXProcTableUsage(const KXProcTable *table, KXTreeUsage *usage, size_t rootCount);

#ifdef __cplusplus
}
#endif

#endif

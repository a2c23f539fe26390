/* One snapshot of /proc and the assignment of its processes to trees; see
 * kx_proctree.h for the rules of proof. */
#include "baselib/kx_proctree.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

/* Passes over the table that pass ownership from parent to child; a child
 * usually has a higher pid than its parent, so one pass almost always
 * settles it, and a chain wrapped around the pid space needs a few more. */
#define KX_DESCENT_PASSES 32

/* An entry while the table is read: its stat and its directory's inode. */
typedef struct Listed {
    KXProcStat stat;
    uint64_t inode;
} Listed;

typedef struct ReadState {
    int procFd;
    Listed *listed;
    size_t count;
    size_t capacity;
    KXStatus status;
    const KXProcStat *given; /* sorted by pid */
    size_t givenCount;
    const KXProcTable *previous;
    const unsigned char *keep;
    size_t keepCount;
} ReadState;

static int ComparePid(const void *left, const void *right)
{
    pid_t a = ((const KXProcStat *)left)->pid;
    pid_t b = ((const KXProcStat *)right)->pid;

    return (a > b) - (a < b);
}

static long IndexOf(const KXProcTable *table, pid_t pid);

/* The entry of pid without a read of its stat, when the hints tell it (see
 * KXProcReadHints); 0 when its stat is to be read. */
static int Known(const ReadState *state, pid_t pid, uint64_t inode, KXProcStat *stat)
{
    const KXProcTable *previous = state->previous;
    const KXProcStat *hit = NULL;
    long index;
    long owner;

    if (state->givenCount > 0) {
        KXProcStat probe;
        probe.pid = pid;
        hit = bsearch(&probe, state->given, state->givenCount, sizeof *hit, ComparePid);
    }
    if (hit != NULL) {
        *stat = *hit;
        return 1;
    }
    index = previous != NULL && inode != 0 ? IndexOf(previous, pid) : -1;
    if (index < 0 || previous->inode == NULL || previous->inode[index] != inode ||
        previous->owner == NULL)
        return 0;
    owner = previous->owner[index];
    if (owner >= 0) {
        if ((size_t)owner >= state->keepCount || !state->keep[owner])
            return 0;
        *stat = previous->entries[index];
        return 1;
    }
    memset(stat, 0, sizeof *stat);
    stat->pid = pid;
    stat->state = previous->entries[index].state;
    stat->startTime = previous->entries[index].startTime;
    return 1;
}

static int AddProcess(pid_t pid, uint64_t inode, void *context)
{
    ReadState *state = context;
    Listed *entry;

    if (state->count == state->capacity) {
        size_t capacity = state->capacity == 0 ? 1024 : state->capacity * 2;
        Listed *listed;
        if (capacity > KX_PROCTABLE_MAX) {
            state->status = ERROR_BUFFER_SIZE;
            return 1;
        }
        listed = realloc(state->listed, capacity * sizeof *listed);
        if (listed == NULL) {
            state->status = ERROR_MEMORY;
            return 1;
        }
        state->listed = listed;
        state->capacity = capacity;
    }
    entry = &state->listed[state->count];
    entry->inode = inode;
    /* Gone, or a stat we cannot read (another user's hidepid): not ours anyway. */
    if (Known(state, pid, inode, &entry->stat) ||
        KXProcReadStat(state->procFd, pid, &entry->stat) == ERROR_NONE)
        state->count++;
    return 0;
}

/* Moves what was listed into table, sorted by pid. */
static KXStatus Fill(KXProcTable *table, Listed *listed, size_t count)
{
    size_t i;

    /* The stat comes first in Listed: compared by pid as an entry is. */
    qsort(listed, count, sizeof *listed, ComparePid);
    table->count = count;
    if (count == 0)
        return ERROR_NONE;
    table->entries = malloc(count * sizeof *table->entries);
    table->owner = malloc(count * sizeof *table->owner);
    table->inode = malloc(count * sizeof *table->inode);
    if (table->entries == NULL || table->owner == NULL || table->inode == NULL)
        return ERROR_MEMORY;
    for (i = 0; i < count; i++) {
        table->entries[i] = listed[i].stat;
        table->inode[i] = listed[i].inode;
        table->owner[i] = -1;
    }
    return ERROR_NONE;
}

KXStatus KXProcTableRead(int procFd, KXProcTable *table)
{
    return KXProcTableReadHinted(procFd, NULL, table);
}

KXStatus KXProcTableReadHinted(int procFd, const KXProcReadHints *hints, KXProcTable *table)
{
    KXProcStat *sorted = NULL;
    ReadState state;
    KXStatus status;

    if (table == NULL ||
        (hints != NULL && ((hints->given == NULL && hints->givenCount > 0) ||
                           (hints->keep == NULL && hints->keepCount > 0))))
        return ERROR_PARAMETER;
    KXProcTableFree(table);
    memset(&state, 0, sizeof state);
    state.procFd = procFd;
    if (hints != NULL) {
        state.previous = hints->previous;
        state.keep = hints->keep;
        state.keepCount = hints->keepCount;
    }
    if (hints != NULL && hints->givenCount > 0) {
        sorted = malloc(hints->givenCount * sizeof *sorted);
        if (sorted == NULL)
            return ERROR_MEMORY;
        memcpy(sorted, hints->given, hints->givenCount * sizeof *sorted);
        qsort(sorted, hints->givenCount, sizeof *sorted, ComparePid);
        state.given = sorted;
        state.givenCount = hints->givenCount;
    }
    status = KXProcForEachPidInode(procFd, AddProcess, &state, NULL);
    free(sorted);
    if (status == ERROR_NONE)
        status = state.status;
    if (status == ERROR_NONE)
        status = Fill(table, state.listed, state.count);
    free(state.listed);
    if (status != ERROR_NONE)
        KXProcTableFree(table);
    return status;
}

void KXProcTableFree(KXProcTable *table)
{
    if (table == NULL)
        return;
    free(table->entries);
    free(table->owner);
    free(table->inode);
    table->entries = NULL;
    table->owner = NULL;
    table->inode = NULL;
    table->count = 0;
}

/* The index of pid in the table, or -1. */
static long IndexOf(const KXProcTable *table, pid_t pid)
{
    size_t low = 0;
    size_t high = table->count;

    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (table->entries[middle].pid == pid)
            return (long)middle;
        if (table->entries[middle].pid < pid)
            low = middle + 1;
        else
            high = middle;
    }
    return -1;
}

const KXProcStat *KXProcTableFind(const KXProcTable *table, pid_t pid)
{
    long index = table != NULL ? IndexOf(table, pid) : -1;

    return index >= 0 ? &table->entries[index] : NULL;
}

/* A root's session and number, sorted by session for lookups. */
typedef struct SessionKey {
    pid_t session;
    size_t root;
} SessionKey;

static int CompareSession(const void *left, const void *right)
{
    pid_t a = ((const SessionKey *)left)->session;
    pid_t b = ((const SessionKey *)right)->session;

    return (a > b) - (a < b);
}

/* The proven root of session, or -1. */
static long RootOfSession(const SessionKey *keys, size_t count, pid_t session)
{
    const SessionKey probe = {session, 0};
    const SessionKey *hit = bsearch(&probe, keys, count, sizeof *keys, CompareSession);

    return hit != NULL ? (long)hit->root : -1;
}

/* Known processes still there keep their root and prove their session. */
static KXStatus ClaimKnown(KXProcTable *table, const KXKnownMember *known, size_t knownCount,
                           size_t rootCount, SessionKey *keys, size_t *keyCount)
{
    size_t i;

    for (i = 0; i < knownCount; i++) {
        long index;
        if (known[i].root >= rootCount)
            return ERROR_PARAMETER;
        index = IndexOf(table, known[i].identity.pid);
        if (index < 0 || table->entries[index].startTime != known[i].identity.startTime)
            continue;
        table->owner[index] = (long)known[i].root;
        keys[*keyCount].session = table->entries[index].session;
        keys[*keyCount].root = known[i].root;
        (*keyCount)++;
    }
    return ERROR_NONE;
}

/* Passes ownership from parents to children until nothing changes. */
static void Descend(KXProcTable *table)
{
    int pass;
    int changed = 1;
    size_t i;

    for (pass = 0; changed && pass < KX_DESCENT_PASSES; pass++) {
        changed = 0;
        for (i = 0; i < table->count; i++) {
            long parent;
            if (table->owner[i] >= 0)
                continue;
            parent = IndexOf(table, table->entries[i].ppid);
            /* A child starts after its parent; an older one is a reused pid's. */
            if (parent >= 0 && table->owner[parent] >= 0 &&
                table->entries[i].startTime >= table->entries[parent].startTime) {
                table->owner[i] = table->owner[parent];
                changed = 1;
            }
        }
    }
}

KXStatus KXProcTableAssign(KXProcTable *table, const KXTreeRoot *roots, size_t rootCount,
                           const KXKnownMember *known, size_t knownCount)
{
    SessionKey *keys;
    size_t keyCount = 0;
    KXStatus status;
    size_t i;

    if (table == NULL || (roots == NULL && rootCount > 0) || (known == NULL && knownCount > 0))
        return ERROR_PARAMETER;
    for (i = 0; i < table->count; i++)
        table->owner[i] = -1;
    keys = malloc((rootCount + knownCount + 1) * sizeof *keys);
    if (keys == NULL)
        return ERROR_MEMORY;
    status = ClaimKnown(table, known, knownCount, rootCount, keys, &keyCount);
    for (i = 0; status == ERROR_NONE && i < rootCount; i++) {
        const KXProcStat *leader = KXProcTableFind(table, roots[i].session);
        if (leader != NULL && leader->startTime == roots[i].leaderStart &&
            leader->session == roots[i].session) {
            keys[keyCount].session = roots[i].session;
            keys[keyCount].root = i;
            keyCount++;
        }
    }
    if (status == ERROR_NONE) {
        qsort(keys, keyCount, sizeof *keys, CompareSession);
        for (i = 0; i < table->count; i++)
            if (table->owner[i] < 0)
                table->owner[i] = RootOfSession(keys, keyCount, table->entries[i].session);
        Descend(table);
    }
    free(keys);
    return status;
}

void KXProcTableMembers(const KXProcTable *table, size_t root, KXProcIdentity *members,
                        size_t capacity, size_t *count)
{
    size_t found = 0;
    size_t i;

    for (i = 0; table != NULL && i < table->count; i++) {
        if (table->owner[i] != (long)root || table->entries[i].state == 'Z')
            continue;
        if (found < capacity) {
            members[found].pid = table->entries[i].pid;
            members[found].startTime = table->entries[i].startTime;
        }
        found++;
    }
    if (count != NULL)
        *count = found;
}

void KXProcTableUsage(const KXProcTable *table, KXTreeUsage *usage, size_t rootCount)
{
    size_t i;

    memset(usage, 0, rootCount * sizeof *usage);
    for (i = 0; table != NULL && i < table->count; i++) {
        const KXProcStat *entry = &table->entries[i];
        long root = table->owner[i];
        if (root < 0 || (size_t)root >= rootCount || entry->state == 'Z')
            continue;
        usage[root].processes++;
        usage[root].rssPages += entry->rssPages;
        usage[root].cpuTicks += entry->utime + entry->stime + entry->cutime + entry->cstime;
    }
}

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

typedef struct ReadState {
    int procFd;
    KXProcTable *table;
    size_t capacity;
    KXStatus status;
} ReadState;

static int AddProcess(pid_t pid, void *context)
{
    ReadState *state = context;
    KXProcTable *table = state->table;
    KXStatus status;

    if (table->count == state->capacity) {
        size_t capacity = state->capacity == 0 ? 1024 : state->capacity * 2;
        KXProcStat *entries;
        if (capacity > KX_PROCTABLE_MAX) {
            state->status = ERROR_BUFFER_SIZE;
            return 1;
        }
        entries = realloc(table->entries, capacity * sizeof *entries);
        if (entries == NULL) {
            state->status = ERROR_MEMORY;
            return 1;
        }
        table->entries = entries;
        state->capacity = capacity;
    }
    status = KXProcReadStat(state->procFd, pid, &table->entries[table->count]);
    if (status == ERROR_NONE)
        table->count++;
    /* Gone, or a stat we cannot read (another user's hidepid): not ours anyway. */
    return 0;
}

static int ComparePid(const void *left, const void *right)
{
    pid_t a = ((const KXProcStat *)left)->pid;
    pid_t b = ((const KXProcStat *)right)->pid;

    return (a > b) - (a < b);
}

KXStatus KXProcTableRead(int procFd, KXProcTable *table)
{
    ReadState state;
    KXStatus status;
    size_t i;

    if (table == NULL)
        return ERROR_PARAMETER;
    KXProcTableFree(table);
    state.procFd = procFd;
    state.table = table;
    state.capacity = 0;
    state.status = ERROR_NONE;
    status = KXProcForEachPid(procFd, AddProcess, &state, NULL);
    if (status == ERROR_NONE)
        status = state.status;
    if (status == ERROR_NONE && table->count > 0) {
        table->owner = malloc(table->count * sizeof *table->owner);
        if (table->owner == NULL)
            status = ERROR_MEMORY;
    }
    if (status != ERROR_NONE) {
        KXProcTableFree(table);
        return status;
    }
    qsort(table->entries, table->count, sizeof *table->entries, ComparePid);
    for (i = 0; i < table->count; i++)
        table->owner[i] = -1;
    return ERROR_NONE;
}

void KXProcTableFree(KXProcTable *table)
{
    if (table == NULL)
        return;
    free(table->entries);
    free(table->owner);
    table->entries = NULL;
    table->owner = NULL;
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

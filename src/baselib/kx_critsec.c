/* Critical sections over a pthread mutex. The mutex block may live in
 * memory shared between processes, so its layout is fixed by KXMutexBlock
 * and the same for every process of this build. */
#include "baselib/kx_critsec.h"

#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>

#include "baselib/kx_error.h"
#include "baselib/kx_time.h"

typedef struct KXMutexBlock {
    pthread_mutex_t mutex;
    pthread_mutexattr_t attr;
    /* 0 not initialised, -1 being initialised, 1 ready. */
    int32_t state;
} KXMutexBlock;

enum { STATE_EMPTY = 0, STATE_INITIALISING = -1, STATE_READY = 1 };

typedef struct KXCriticalSectionData {
    KXMutexBlock *mutexBlock;
    KXMemoryManager *mm;
    int name; /* 0: thread section, -1: caller's block, > 0: named block */
    int savedCancelState;
} KXCriticalSectionData;

static int32_t LoadState(const KXMutexBlock *block)
{
    return __atomic_load_n(&block->state, __ATOMIC_ACQUIRE);
}

static void StoreState(KXMutexBlock *block, int32_t state)
{
    __atomic_store_n(&block->state, state, __ATOMIC_RELEASE);
}

int KXCriticalSectionPThreadSharedSize(void)
{
    return (int)sizeof(KXMutexBlock);
}

/* Allocates the record and its private data; NULL if either fails. */
static KXCriticalSection *NewRecord(void)
{
    KXCriticalSection *cs = calloc(1, sizeof(*cs));

    if (cs == NULL)
        return NULL;
    cs->data = calloc(1, sizeof(KXCriticalSectionData));
    if (cs->data == NULL) {
        free(cs);
        return NULL;
    }
    return cs;
}

/* Frees record and data (either may be null) and nulls *cs. */
static void FreeRecord(KXCriticalSection **cs)
{
    if (*cs != NULL)
        free((*cs)->data);
    free(*cs);
    *cs = NULL;
}

/* Fills in a new section's data and operations. */
static void Install(KXCriticalSection *record, KXMutexBlock *block, KXMemoryManager *mm, int name,
                    KXStatus (*freeSection)(KXCriticalSection **cs))
{
    KXCriticalSectionData *data = record->data;

    data->mutexBlock = block;
    data->mm = mm;
    data->name = name;
    record->Enter = KXCriticalSectionPThreadEnter;
    record->Leave = KXCriticalSectionPThreadLeave;
    record->Free = freeSection;
}

/* Initialises attribute and mutex for use by several processes. Returns what
 * failed, or NULL. */
static const char *InitSharedMutex(KXMutexBlock *block)
{
    if (pthread_mutexattr_init(&block->attr) != 0)
        return "error initializing mutex-attributes";
    if (pthread_mutexattr_setpshared(&block->attr, PTHREAD_PROCESS_SHARED) != 0) {
        pthread_mutexattr_destroy(&block->attr);
        return "error setting mutex-attributes to be shared between processes";
    }
    if (pthread_mutex_init(&block->mutex, &block->attr) != 0) {
        pthread_mutexattr_destroy(&block->attr);
        return "error initializing mutex";
    }
    return NULL;
}

enum { AWAIT_STEP_MS = 100, AWAIT_STEPS = 10 };

/* Another process initialises a shared block. Waits while its state is
 * `busy`, testing every 100 ms, 10 times, then once more after another
 * 100 ms (1.1 s in all): a process that died half-way must not hold up its
 * successors for ever. Returns the state last seen. */
static int32_t AwaitOtherProcess(const KXMutexBlock *block, int32_t busy)
{
    int tries;

    for (tries = 0; tries < AWAIT_STEPS && LoadState(block) == busy; tries++)
        SleepMilliseconds(AWAIT_STEP_MS);
    if (LoadState(block) == busy)
        SleepMilliseconds(AWAIT_STEP_MS);
    return LoadState(block);
}

static const char timedOut[] =
    "%s(): waiting for another process that is initializing the critical section timed out";

KXStatus KXCriticalSectionThreadNew(KXCriticalSection **cs)
{
    KXCriticalSection *record;
    KXMutexBlock *block;
    KXStatus status = ERROR_MEMORY;

    if (cs == NULL || *cs != NULL)
        return ERROR_PARAMETER;
    record = NewRecord();
    block = calloc(1, sizeof(*block));
    if (record == NULL || block == NULL)
        goto failed;
    status = ERROR_GENERAL;
    if (pthread_mutexattr_init(&block->attr) != 0)
        goto failed;
    /* The default, non-recursive kind: entering twice is a programming error. */
    if (pthread_mutexattr_settype(&block->attr, PTHREAD_MUTEX_TIMED_NP) != 0 ||
        pthread_mutex_init(&block->mutex, &block->attr) != 0) {
        pthread_mutexattr_destroy(&block->attr);
        goto failed;
    }
    block->state = STATE_READY;
    Install(record, block, NULL, 0, KXCriticalSectionPThreadFree);
    *cs = record;
    return ERROR_NONE;

failed:
    free(block);
    FreeRecord(&record);
    return status;
}

/* Cancellation stays disabled while the section is held, so that a thread
 * cancelled by its owner never dies holding the mutex. */
KXStatus KXCriticalSectionPThreadEnter(KXCriticalSection *cs)
{
    KXCriticalSectionData *data;
    int old;

    if (cs == NULL || cs->data == NULL)
        return ERROR_PARAMETER;
    data = cs->data;
    if (pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old) != 0)
        return ERROR_GENERAL;
    if (pthread_mutex_lock(&data->mutexBlock->mutex) != 0) {
        pthread_setcancelstate(old, NULL);
        return ERROR_GENERAL;
    }
    /* Stored only now: before the lock it would overwrite the holder's. */
    data->savedCancelState = old;
    return ERROR_NONE;
}

KXStatus KXCriticalSectionPThreadLeave(KXCriticalSection *cs)
{
    KXCriticalSectionData *data;
    int saved, result;

    if (cs == NULL || cs->data == NULL)
        return ERROR_PARAMETER;
    data = cs->data;
    /* Read before unlocking: the next holder overwrites it. */
    saved = data->savedCancelState;
    result = pthread_mutex_unlock(&data->mutexBlock->mutex);
    pthread_setcancelstate(saved, NULL);
    return result == 0 ? ERROR_NONE : ERROR_GENERAL;
}

KXStatus KXCriticalSectionPThreadFree(KXCriticalSection **cs)
{
    KXCriticalSectionData *data;

    if (cs == NULL || *cs == NULL)
        return ERROR_PARAMETER;
    data = (*cs)->data;
    if (data != NULL && data->mutexBlock != NULL) {
        pthread_mutex_destroy(&data->mutexBlock->mutex);
        pthread_mutexattr_destroy(&data->mutexBlock->attr);
        free(data->mutexBlock);
    }
    FreeRecord(cs);
    return ERROR_NONE;
}

/* Gives up this process's use of a named block; the last user destroys the
 * mutex and returns the block to the manager. */
static void ReleaseNamedBlock(KXMemoryManager *mm, int name, KXMutexBlock *block)
{
    int users = 1;

    if (mm->ReleaseName(mm, name, &users) != ERROR_NONE || users != 0)
        return;
    if (LoadState(block) == STATE_READY) {
        pthread_mutex_destroy(&block->mutex);
        pthread_mutexattr_destroy(&block->attr);
    }
    mm->Unalloc(mm, block);
}

KXStatus KXCriticalSectionThreadAndIPCNew(KXCriticalSection **cs, KXMemoryManager *mm, int name,
                                          KXLog *log)
{
    static const char where[] = "KXCriticalSectionThreadAndIPCNew";
    KXCriticalSection *record;
    KXMutexBlock *block;
    const char *failure;
    int created = 0;
    KXStatus status;

    if (cs == NULL || *cs != NULL || name <= 0 || mm == NULL)
        return KXFail(log, ERROR_PARAMETER, "%s(): wrong arguments passed to the procedure", where);
    record = NewRecord();
    if (record == NULL)
        return KXFail(log, ERROR_MEMORY, "%s(): error allocation memory from the heap", where);
    block = mm->NamedCalloc(mm, name, 1, sizeof(KXMutexBlock), &created);
    if (block == NULL) {
        FreeRecord(&record);
        return KXFail(log, ERROR_MEMORY, "%s(): error allocation memory from the SHM", where);
    }
    if (created) {
        failure = InitSharedMutex(block);
        if (failure != NULL) {
            status = KXFail(log, ERROR_GENERAL, "%s(): %s", where, failure);
            goto failed;
        }
        StoreState(block, STATE_READY);
    } else if (AwaitOtherProcess(block, STATE_EMPTY) == STATE_EMPTY) {
        /* The creator of a named block never marks it as being initialised. */
        status = KXFail(log, ERROR_GENERAL, timedOut, where);
        goto failed;
    }
    Install(record, block, mm, name, KXCriticalSectionPThreadAndIPCFree);
    *cs = record;
    return ERROR_NONE;

failed:
    ReleaseNamedBlock(mm, name, block);
    FreeRecord(&record);
    return status;
}

KXStatus KXCriticalSectionPThreadAndIPCFree(KXCriticalSection **cs)
{
    KXCriticalSectionData *data;

    if (cs == NULL || *cs == NULL)
        return ERROR_PARAMETER;
    data = (*cs)->data;
    if (data != NULL && data->mm != NULL && data->mutexBlock != NULL)
        ReleaseNamedBlock(data->mm, data->name, data->mutexBlock);
    FreeRecord(cs);
    return ERROR_NONE;
}

/* Makes a caller's block ready. Whoever turns 0 into -1 initialises (the
 * exchange is atomic across processes sharing the block); everybody else
 * waits for 1, but no longer than for the creator of a named block. */
static KXStatus ClaimOrAwait(KXMutexBlock *block, const char *where, KXLog *log)
{
    int32_t state;

    for (;;) {
        state = LoadState(block);
        if (state == STATE_READY)
            return ERROR_NONE;
        if (state == STATE_INITIALISING) {
            if (AwaitOtherProcess(block, STATE_INITIALISING) == STATE_INITIALISING)
                return KXFail(log, ERROR_GENERAL, timedOut, where);
            continue;
        }
        /* Not a mutex block of ours: refuse rather than use it. */
        if (state != STATE_EMPTY)
            return ERROR_STATE;
        if (__atomic_compare_exchange_n(&block->state, &state, STATE_INITIALISING, 0,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            /* Failures here surface when the mutex is used. */
            (void)InitSharedMutex(block);
            StoreState(block, STATE_READY);
            return ERROR_NONE;
        }
    }
}

KXStatus KXCriticalSectionThreadAndIPCRawNew(KXCriticalSection **cs, void *block, unsigned *size,
                                             KXLog *log)
{
    static const char where[] = "KXCriticalSectionThreadAndIPCRawNew";
    KXCriticalSection *record;
    KXStatus status;

    if (cs == NULL || *cs != NULL || size == NULL || block == NULL)
        return KXFail(log, ERROR_PARAMETER, "%s(): wrong arguments passed to the procedure", where);
    record = NewRecord();
    if (record == NULL)
        return KXFail(log, ERROR_MEMORY, "%s(): error allocating memory from the heap", where);
    if (*size < (unsigned)KXCriticalSectionPThreadSharedSize()) {
        status = KXFail(log, ERROR_MEMORY,
                        "%s(): the piece of shared memory I got was not big enough to store the "
                        "shared data",
                        where);
        goto failed;
    }
    *size = (unsigned)KXCriticalSectionPThreadSharedSize();
    status = ClaimOrAwait(block, where, log);
    if (status != ERROR_NONE)
        goto failed;
    Install(record, block, NULL, -1, KXCriticalSectionPThreadAndIPCRawFree);
    *cs = record;
    return ERROR_NONE;

failed:
    FreeRecord(&record);
    return status;
}

/* The block and its mutex belong to the caller and to the other processes. */
KXStatus KXCriticalSectionPThreadAndIPCRawFree(KXCriticalSection **cs)
{
    if (cs == NULL || *cs == NULL)
        return ERROR_PARAMETER;
    FreeRecord(cs);
    return ERROR_NONE;
}

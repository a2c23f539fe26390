/* Critical sections over a pthread mutex. The mutex block may live in
 * memory shared between processes, so its layout is fixed by KXMutexBlock
 * and the same for every process of this build. */
#include "baselib/kx_critsec.h"

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

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

static void FreeRecord(KXCriticalSection **cs)
{
    free((*cs)->data);
    free(*cs);
    *cs = NULL;
}

/* Initialises attribute and mutex for use by several processes. Returns
 * the message for the step that failed, or NULL. */
static const char *InitSharedMutex(KXMutexBlock *block, const char *where, char *message,
                                   size_t size)
{
    const char *what = NULL;

    if (pthread_mutexattr_init(&block->attr) != 0) {
        what = "error initializing mutex-attributes";
    } else if (pthread_mutexattr_setpshared(&block->attr, PTHREAD_PROCESS_SHARED) != 0) {
        pthread_mutexattr_destroy(&block->attr);
        what = "error setting mutex-attributes to be shared between processes";
    } else if (pthread_mutex_init(&block->mutex, &block->attr) != 0) {
        pthread_mutexattr_destroy(&block->attr);
        what = "error initializing mutex";
    }
    if (what == NULL)
        return NULL;
    snprintf(message, size, "%s(): %s", where, what);
    return message;
}

KXStatus KXCriticalSectionThreadNew(KXCriticalSection **cs)
{
    KXCriticalSection *record;
    KXCriticalSectionData *data;
    KXMutexBlock *block;

    if (cs == NULL || *cs != NULL)
        return ERROR_PARAMETER;
    record = NewRecord();
    if (record == NULL)
        return ERROR_MEMORY;
    data = record->data;
    block = calloc(1, sizeof(*block));
    if (block == NULL) {
        FreeRecord(&record);
        return ERROR_MEMORY;
    }
    if (pthread_mutexattr_init(&block->attr) != 0) {
        free(block);
        FreeRecord(&record);
        return ERROR_GENERAL;
    }
    /* The default, non-recursive kind: entering twice is a programming error. */
    if (pthread_mutexattr_settype(&block->attr, PTHREAD_MUTEX_TIMED_NP) != 0 ||
        pthread_mutex_init(&block->mutex, &block->attr) != 0) {
        pthread_mutexattr_destroy(&block->attr);
        free(block);
        FreeRecord(&record);
        return ERROR_GENERAL;
    }
    block->state = STATE_READY;
    data->mutexBlock = block;
    data->mm = NULL;
    data->name = 0;
    record->Enter = KXCriticalSectionPThreadEnter;
    record->Leave = KXCriticalSectionPThreadLeave;
    record->Free = KXCriticalSectionPThreadFree;
    *cs = record;
    return ERROR_NONE;
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
    KXCriticalSectionData *data;
    KXMutexBlock *block;
    char message[256];
    int created = 0, tries;

    if (cs == NULL || *cs != NULL || name <= 0 || mm == NULL) {
        KXLogWrite(log, "%s(): wrong arguments passed to the procedure", where);
        return ERROR_PARAMETER;
    }
    record = NewRecord();
    if (record == NULL) {
        KXLogWrite(log, "%s(): error allocation memory from the heap", where);
        return ERROR_MEMORY;
    }
    data = record->data;
    block = mm->NamedCalloc(mm, name, 1, sizeof(KXMutexBlock), &created);
    if (block == NULL) {
        KXLogWrite(log, "%s(): error allocation memory from the SHM", where);
        FreeRecord(&record);
        *cs = NULL;
        return ERROR_MEMORY;
    }

    if (created) {
        if (InitSharedMutex(block, where, message, sizeof(message)) != NULL) {
            KXLogWrite(log, "%s", message);
            ReleaseNamedBlock(mm, name, block);
            FreeRecord(&record);
            *cs = NULL;
            return ERROR_GENERAL;
        }
        StoreState(block, STATE_READY);
    } else {
        /* The creator may still be initialising the block. */
        for (tries = 0; tries < 10 && LoadState(block) == STATE_EMPTY; tries++)
            SleepMilliseconds(100);
        if (LoadState(block) == STATE_EMPTY) {
            SleepMilliseconds(100);
            KXLogWrite(log,
                       "%s(): waiting for another process that is initializing the critical "
                       "section timed out",
                       where);
            ReleaseNamedBlock(mm, name, block);
            FreeRecord(&record);
            *cs = NULL;
            return ERROR_GENERAL;
        }
    }

    data->mutexBlock = block;
    data->mm = mm;
    data->name = name;
    record->Enter = KXCriticalSectionPThreadEnter;
    record->Leave = KXCriticalSectionPThreadLeave;
    record->Free = KXCriticalSectionPThreadAndIPCFree;
    *cs = record;
    return ERROR_NONE;
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

KXStatus KXCriticalSectionThreadAndIPCRawNew(KXCriticalSection **cs, void *block, unsigned *size,
                                             KXLog *log)
{
    static const char where[] = "KXCriticalSectionThreadAndIPCRawNew";
    KXCriticalSection *record;
    KXCriticalSectionData *data;
    KXMutexBlock *mutexBlock = block;
    char message[256];
    int32_t state;

    if (cs == NULL || *cs != NULL || size == NULL || block == NULL) {
        KXLogWrite(log, "%s(): wrong arguments passed to the procedure", where);
        return ERROR_PARAMETER;
    }
    record = NewRecord();
    if (record == NULL) {
        KXLogWrite(log, "%s(): error allocating memory from the heap", where);
        return ERROR_MEMORY;
    }
    data = record->data;
    if (*size < (unsigned)KXCriticalSectionPThreadSharedSize()) {
        KXLogWrite(log,
                   "%s(): the piece of shared memory I got was not big enough to store the "
                   "shared data",
                   where);
        FreeRecord(&record);
        *cs = NULL;
        return ERROR_MEMORY;
    }
    *size = (unsigned)KXCriticalSectionPThreadSharedSize();

    /* Whoever turns 0 into -1 initialises; everybody else waits for 1. The
     * exchange is atomic across processes sharing the block. */
    for (;;) {
        state = LoadState(mutexBlock);
        if (state == STATE_READY)
            break;
        if (state == STATE_INITIALISING) {
            SleepMilliseconds(100);
            continue;
        }
        if (state != STATE_EMPTY) {
            /* Not a mutex block of ours: refuse rather than wait for ever. */
            FreeRecord(&record);
            *cs = NULL;
            return ERROR_STATE;
        }
        if (__atomic_compare_exchange_n(&mutexBlock->state, &state, STATE_INITIALISING, 0,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
            /* Failures here surface when the mutex is used. */
            (void)InitSharedMutex(mutexBlock, where, message, sizeof(message));
            StoreState(mutexBlock, STATE_READY);
            break;
        }
    }

    data->mutexBlock = mutexBlock;
    data->mm = NULL;
    data->name = -1;
    record->Enter = KXCriticalSectionPThreadEnter;
    record->Leave = KXCriticalSectionPThreadLeave;
    record->Free = KXCriticalSectionPThreadAndIPCRawFree;
    *cs = record;
    return ERROR_NONE;
}

/* The block and its mutex belong to the caller and to the other processes. */
KXStatus KXCriticalSectionPThreadAndIPCRawFree(KXCriticalSection **cs)
{
    if (cs == NULL || *cs == NULL)
        return ERROR_PARAMETER;
    FreeRecord(cs);
    return ERROR_NONE;
}

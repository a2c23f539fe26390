/* Worker threads with a cooperative stop flag. The owner asks the thread to
 * stop, waits a bounded time and then cancels it.
 *
 * A cancelled thread may still be unwinding when KXThreadFree returns, and
 * it keeps using its record (the flags it was handed, the clean-up below)
 * until it has really ended. The record is therefore shared: it starts with
 * two references, one for the owner and one for the thread, and whoever
 * drops the last one frees it. The thread drops its reference in a clean-up
 * handler, which runs both on a normal return and on cancellation. */
#include "baselib/kx_thread.h"

#include <stdlib.h>

#include "baselib/kx_time.h"

struct KXThread {
    pthread_t thread;
    void *data;
    KXThreadFunction function;
    int stop;
    int finished;
    int error;
    int references;
};

static void ReleaseRecord(KXThread *record)
{
    if (__atomic_sub_fetch(&record->references, 1, __ATOMIC_ACQ_REL) == 0)
        free(record);
}

static void ReleaseRecordCleanup(void *record)
{
    ReleaseRecord(record);
}

void *ThreadStartWrapper(void *thread)
{
    KXThread *record = thread;

    pthread_cleanup_push(ReleaseRecordCleanup, record);
    record->function(&record->stop, &record->error, record->data);
    __atomic_store_n(&record->finished, 1, __ATOMIC_RELEASE);
    pthread_cleanup_pop(1);
    return NULL;
}

KXStatus KXThreadNew(KXThread **thread, KXThreadFunction function, void *data)
{
    KXThread *record;

    if (thread == NULL || function == NULL)
        return ERROR_PARAMETER;
    record = calloc(1, sizeof(*record));
    if (record == NULL)
        return ERROR_MEMORY;
    record->function = function;
    record->data = data;
    record->references = 2;
    if (pthread_create(&record->thread, NULL, ThreadStartWrapper, record) != 0) {
        free(record);
        *thread = NULL;
        return ERROR_THREAD_CREATE;
    }
    *thread = record;
    return ERROR_NONE;
}

KXStatus KXThreadStop(KXThread *thread)
{
    if (thread == NULL)
        return ERROR_PARAMETER;
    __atomic_store_n(&thread->stop, 1, __ATOMIC_RELEASE);
    return ERROR_NONE;
}

KXStatus KXThreadIsFinished(KXThread *thread, int *finished)
{
    if (thread == NULL || finished == NULL)
        return ERROR_PARAMETER;
    *finished = __atomic_load_n(&thread->finished, __ATOMIC_ACQUIRE);
    return ERROR_NONE;
}

KXStatus KXThreadHasError(KXThread *thread, int *error)
{
    if (thread == NULL || error == NULL)
        return ERROR_PARAMETER;
    *error = __atomic_load_n(&thread->error, __ATOMIC_ACQUIRE);
    return ERROR_NONE;
}

static int IsFinished(KXThread *thread)
{
    return __atomic_load_n(&thread->finished, __ATOMIC_ACQUIRE);
}

KXStatus KXThreadFree(KXThread **thread, int timeout)
{
    KXThread *record;
    int waited = 0, step;

    if (thread == NULL || *thread == NULL)
        return ERROR_PARAMETER;
    record = *thread;
    __atomic_store_n(&record->stop, 1, __ATOMIC_RELEASE);

    if (!IsFinished(record)) {
        if (timeout == 0) {
            pthread_cancel(record->thread);
        } else if (timeout > 0) {
            for (;;) {
                step = timeout - waited < 100 ? timeout - waited : 100;
                SleepMilliseconds((unsigned)step);
                waited += step;
                if (IsFinished(record))
                    break;
                if (waited >= timeout) {
                    pthread_cancel(record->thread);
                    break;
                }
            }
        } else {
            while (!IsFinished(record))
                SleepMilliseconds(100);
        }
    }

    pthread_detach(record->thread);
    ReleaseRecord(record);
    *thread = NULL;
    return ERROR_NONE;
}

/* Worker threads with a cooperative stop flag, ended by a bounded wait
 * followed by cancellation. */
#ifndef KX_THREAD_H
#define KX_THREAD_H

#include <pthread.h>
#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*KXThreadFunction)(int *stop, int *error, void *data);

typedef struct KXThread KXThread;

/* All functions return ERROR_PARAMETER for a null argument. */

/* Starts function(&stop, &error, data) in a new thread; the handle in
 * *thread (which must be null) is the caller's, to end with KXThreadFree.
 * data stays the caller's. ERROR_MEMORY, or ERROR_THREAD_CREATE. */
KXStatus KXThreadNew(KXThread **thread, KXThreadFunction function, void *data);
/* Raises the thread's stop flag; the function is to return soon after. */
KXStatus KXThreadStop(KXThread *thread);
/* *finished = the function has returned (or the thread was cancelled). */
KXStatus KXThreadIsFinished(KXThread *thread, int *finished);
/* *error = the value the function left in its error flag. */
KXStatus KXThreadHasError(KXThread *thread, int *error);
/* Raises stop, waits up to timeout ms in steps of 100 ms for the function to
 * return (0: not at all; negative: without limit), cancels it then, and
 * frees the handle (nulled); the thread's record outlives any late unwind. */
KXStatus KXThreadFree(KXThread **thread, int timeout);
/* The pthread start routine behind KXThreadNew; not to be called directly. */
void *ThreadStartWrapper(void *thread);

#ifdef __cplusplus
}
#endif

#endif

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

KXStatus KXThreadNew(KXThread **thread, KXThreadFunction function, void *data);
KXStatus KXThreadStop(KXThread *thread);
KXStatus KXThreadIsFinished(KXThread *thread, int *finished);
KXStatus KXThreadHasError(KXThread *thread, int *error);
KXStatus KXThreadFree(KXThread **thread, int timeout);
void *ThreadStartWrapper(void *thread);

#ifdef __cplusplus
}
#endif

#endif

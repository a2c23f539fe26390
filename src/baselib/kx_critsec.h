/* Critical sections: a mutex behind a table of operations, for the threads
 * of one process, for processes sharing a named block of a memory manager,
 * or on a block the caller supplies. Holding one blocks cancellation. */
#ifndef KX_CRITSEC_H
#define KX_CRITSEC_H

#include "baselib/kx_log.h"
#include "baselib/kx_memory.h"
#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KXCriticalSection KXCriticalSection;

struct KXCriticalSection {
    void *data;
    KXStatus (*Enter)(KXCriticalSection *cs);
    KXStatus (*Leave)(KXCriticalSection *cs);
    KXStatus (*Free)(KXCriticalSection **cs);
};

KXStatus KXCriticalSectionThreadNew(KXCriticalSection **cs);
KXStatus KXCriticalSectionThreadAndIPCNew(KXCriticalSection **cs, KXMemoryManager *mm, int name,
                                          KXLog *log);
KXStatus KXCriticalSectionThreadAndIPCRawNew(KXCriticalSection **cs, void *block, unsigned *size,
                                             KXLog *log);
int KXCriticalSectionPThreadSharedSize(void);

KXStatus KXCriticalSectionPThreadEnter(KXCriticalSection *cs);
KXStatus KXCriticalSectionPThreadLeave(KXCriticalSection *cs);
KXStatus KXCriticalSectionPThreadFree(KXCriticalSection **cs);
KXStatus KXCriticalSectionPThreadAndIPCFree(KXCriticalSection **cs);
KXStatus KXCriticalSectionPThreadAndIPCRawFree(KXCriticalSection **cs);

#ifdef __cplusplus
}
#endif

#endif

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

/* Constructors put a new section in *cs (which must be null; ERROR_PARAMETER
 * otherwise); the caller ends it with cs->Free(&cs). On failure *cs stays
 * null and nothing is left allocated. */

/* A section for the threads of this process. ERROR_MEMORY, or
 * ERROR_GENERAL when the mutex cannot be made; logs nothing. */
KXStatus KXCriticalSectionThreadNew(KXCriticalSection **cs);
/* A section on the block named name (> 0) of mm, shared with every process
 * using that name: the creator initialises it, others wait up to 1.1 s for
 * that. ERROR_MEMORY, or ERROR_GENERAL (logged) when initialising fails or
 * the wait times out. */
KXStatus KXCriticalSectionThreadAndIPCNew(KXCriticalSection **cs, KXMemoryManager *mm, int name,
                                          KXLog *log);
/* A section on the caller's block (*size bytes; it stays the caller's and
 * must outlive the section); *size becomes the bytes used. ERROR_MEMORY
 * when the block is too small, ERROR_STATE when it holds something else,
 * ERROR_GENERAL (logged) when another user left it half-initialised for
 * over 1.1 s. */
KXStatus KXCriticalSectionThreadAndIPCRawNew(KXCriticalSection **cs, void *block, unsigned *size,
                                             KXLog *log);
/* Bytes of the shared block of a section. Can't fail. */
int KXCriticalSectionPThreadSharedSize(void);

/* Locks, disabling cancellation while held; not recursive. ERROR_GENERAL
 * when locking fails. */
KXStatus KXCriticalSectionPThreadEnter(KXCriticalSection *cs);
/* Unlocks and restores the cancellation state of Enter. */
KXStatus KXCriticalSectionPThreadLeave(KXCriticalSection *cs);
/* The Free operations of the three kinds: each frees the record and nulls
 * *cs; the thread kind destroys its mutex, the named kind gives up its use
 * of the block (the last user destroys it), the raw kind leaves the block. */
KXStatus KXCriticalSectionPThreadFree(KXCriticalSection **cs);
KXStatus KXCriticalSectionPThreadAndIPCFree(KXCriticalSection **cs);
KXStatus KXCriticalSectionPThreadAndIPCRawFree(KXCriticalSection **cs);

#ifdef __cplusplus
}
#endif

#endif

/* Growable array of untyped element pointers. The record and the slot array
 * live in blocks of a memory manager and every reference is stored as the
 * manager's offset, so a list can sit in memory mapped at different
 * addresses. Elements are not owned by the list. */
#ifndef KX_LIST_H
#define KX_LIST_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include "baselib/kx_memory.h"
#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KXList {
    int32_t count;      /* number of elements */
    int32_t capacity;   /* number of slots in the array */
    size_t arrayOffset; /* GetOffset of the slot array, 0 when there is none */
} KXList;

/* Slots are added and taken away in steps of this many. */
#define KX_LIST_GROWTH 32

typedef int (*KXListFunction)(void *element, va_list args);
typedef int (*KXListDestructor)(void **element, va_list args);

KXStatus KXListNew(KXList **list, KXMemoryManager *mm);
KXStatus KXListNamedNew(KXList **list, int name, KXMemoryManager *mm, int *created);
KXStatus KXListAdd(KXList *list, KXMemoryManager *mm, void *element);
KXStatus KXListInsertAt(KXList *list, KXMemoryManager *mm, void *element, int index);
void *KXListElementAt(KXList *list, KXMemoryManager *mm, KXStatus *status, int index);
KXStatus KXListSize(KXList *list, KXMemoryManager *mm, int *size);
KXStatus KXListRemoveAt(KXList *list, KXMemoryManager *mm, int index);
KXStatus KXListRemove(KXList *list, KXMemoryManager *mm, void *element);
KXStatus KXListFind(KXList *list, KXMemoryManager *mm, void *element, int *index);
int KXListForEach(KXList *list, KXMemoryManager *mm, KXListFunction function, ...);
int KXListVForEach(KXList *list, KXMemoryManager *mm, KXListFunction function, va_list args);
KXStatus KXListFirstThat(KXList *list, KXMemoryManager *mm, KXListFunction predicate, int *index,
                         ...);
KXStatus KXListVFirstThat(KXList *list, KXMemoryManager *mm, KXListFunction predicate, int *index,
                          va_list args);
KXStatus KXListNextThat(KXList *list, KXMemoryManager *mm, int start, KXListFunction predicate,
                        int *index, ...);
KXStatus KXListVNextThat(KXList *list, KXMemoryManager *mm, int start, KXListFunction predicate,
                         int *index, va_list args);
KXStatus KXListClear(KXList *list, KXMemoryManager *mm);
KXStatus KXListClearAndFreeElements(KXList *list, KXMemoryManager *mm, KXListDestructor destructor,
                                    ...);
KXStatus KXListFree(KXList **list, KXMemoryManager *mm);

/* Predicate of KXListFind: 1 when element is the first variable argument. */
int _KXListSearchElement(void *element, va_list args);

#ifdef __cplusplus
}
#endif

#endif

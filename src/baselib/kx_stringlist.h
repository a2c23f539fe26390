/* List of zero-terminated strings that owns copies of them and carries its
 * own heap memory manager, so callers need no manager of their own. */
#ifndef KX_STRINGLIST_H
#define KX_STRINGLIST_H

#include <stdarg.h>
#include "baselib/kx_list.h"
#include "baselib/kx_memory.h"
#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KXStringList {
    KXList *list;
    KXMemoryManager *mm;
} KXStringList;

/* As the KXList functions of the same names, on the list's own manager;
 * ERROR_PARAMETER for a null list or argument. */

/* A new empty list in *list (which must be null); the caller frees it with
 * KXStringListFree, which frees the stored copies too. ERROR_MEMORY. */
KXStatus KXStringListNew(KXStringList **list);
KXStatus KXStringListFree(KXStringList **list);
/* Appends / inserts a copy of text, which stays the caller's. */
KXStatus KXStringListAdd(KXStringList *list, const char *text);
KXStatus KXStringListInsertAt(KXStringList *list, const char *text, int index);
KXStatus KXStringListSize(KXStringList *list, int *size);
/* The stored copy itself (not a new one; the list's, valid until removed);
 * null with *status set on failure. */
char *KXStringListElementAt(KXStringList *list, int index, KXStatus *status);
/* Removes the element at index and frees its copy. */
KXStatus KXStringListRemoveAt(KXStringList *list, int index);
/* Removes every element and frees the copies. */
KXStatus KXStringListClear(KXStringList *list);
int KXStringListForEach(KXStringList *list, KXListFunction function, ...);
int KXStringListVForEach(KXStringList *list, KXListFunction function, va_list args);
KXStatus KXStringListFirstThat(KXStringList *list, KXListFunction predicate, int *index, ...);
KXStatus KXStringListVFirstThat(KXStringList *list, KXListFunction predicate, int *index,
                                va_list args);
KXStatus KXStringListNextThat(KXStringList *list, int start, KXListFunction predicate, int *index,
                              ...);
KXStatus KXStringListVNextThat(KXStringList *list, int start, KXListFunction predicate, int *index,
                               va_list args);

#ifdef __cplusplus
}
#endif

#endif

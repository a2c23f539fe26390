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

KXStatus KXStringListNew(KXStringList **list);
KXStatus KXStringListFree(KXStringList **list);
KXStatus KXStringListAdd(KXStringList *list, const char *text);
KXStatus KXStringListInsertAt(KXStringList *list, const char *text, int index);
KXStatus KXStringListSize(KXStringList *list, int *size);
/* The stored copy itself (not a new one); null with *status set on failure. */
char *KXStringListElementAt(KXStringList *list, int index, KXStatus *status);
KXStatus KXStringListRemoveAt(KXStringList *list, int index);
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

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

/* All functions return ERROR_PARAMETER for a null list or mm (or another
 * null pointer argument) and change nothing then. */

/* A new empty list from mm in *list (which must be null); the caller owns it
 * and frees it with KXListFree. ERROR_MEMORY when mm has no block. */
KXStatus KXListNew(KXList **list, KXMemoryManager *mm);
/* The list under name in mm: *created is 1 when this call made it (empty),
 * 0 when it is another user's, taken as found. ERROR_MEMORY on failure. */
KXStatus KXListNamedNew(KXList **list, int name, KXMemoryManager *mm, int *created);
/* Appends element (not null; not owned). ERROR_MEMORY when the slot array
 * cannot grow; the list is unchanged then. */
KXStatus KXListAdd(KXList *list, KXMemoryManager *mm, void *element);
/* Inserts element before the one at index, which must exist (ERROR_INDEX
 * otherwise; appending is KXListAdd's); ERROR_MEMORY as KXListAdd. */
KXStatus KXListInsertAt(KXList *list, KXMemoryManager *mm, void *element, int index);
/* The element at index, status ERROR_NONE; null with ERROR_INDEX outside
 * 0..count-1, or ERROR_PARAMETER (status itself may then be null). */
void *KXListElementAt(KXList *list, KXMemoryManager *mm, KXStatus *status, int index);
/* The number of elements in *size. */
KXStatus KXListSize(KXList *list, KXMemoryManager *mm, int *size);
/* Removes the element at index (ERROR_INDEX if none), not freeing it; the
 * array shrinks by one step once more than two steps lie unused. */
KXStatus KXListRemoveAt(KXList *list, KXMemoryManager *mm, int index);
/* Removes the first occurrence of element; ERROR_NOT_FOUND if absent. */
KXStatus KXListRemove(KXList *list, KXMemoryManager *mm, void *element);
/* The index of the first occurrence of element in *index; ERROR_NOT_FOUND
 * (and *index -1) if absent. */
KXStatus KXListFind(KXList *list, KXMemoryManager *mm, void *element, int *index);
/* Calls function(element, args) for each element in order and stops at the
 * first non-zero result, which it returns; 0 when all returned 0 (or the
 * list is empty); ERROR_PARAMETER for a null argument. */
int KXListForEach(KXList *list, KXMemoryManager *mm, KXListFunction function, ...);
int KXListVForEach(KXList *list, KXMemoryManager *mm, KXListFunction function, va_list args);
/* The index of the first element for which predicate(element, args) is
 * non-zero in *index, -1 when there is none (still ERROR_NONE). */
KXStatus KXListFirstThat(KXList *list, KXMemoryManager *mm, KXListFunction predicate, int *index,
                         ...);
KXStatus KXListVFirstThat(KXList *list, KXMemoryManager *mm, KXListFunction predicate, int *index,
                          va_list args);
/* As KXListFirstThat, from index start (>= 0) on. */
KXStatus KXListNextThat(KXList *list, KXMemoryManager *mm, int start, KXListFunction predicate,
                        int *index, ...);
KXStatus KXListVNextThat(KXList *list, KXMemoryManager *mm, int start, KXListFunction predicate,
                         int *index, va_list args);
/* Empties the list and gives back its slot array; the elements are left to
 * their owners. The record itself stays. */
KXStatus KXListClear(KXList *list, KXMemoryManager *mm);
/* Calls destructor(&element, args) for each element, last first, then
 * clears the list. A non-zero result of the destructor stops it and is
 * returned; the elements already destroyed are gone from the list, the
 * others stay. */
KXStatus KXListClearAndFreeElements(KXList *list, KXMemoryManager *mm, KXListDestructor destructor,
                                    ...);
/* Clears the list, returns the record to mm and nulls *list; the elements
 * are not freed. */
KXStatus KXListFree(KXList **list, KXMemoryManager *mm);

/* Predicate of KXListFind: 1 when element is the first variable argument. */
int _KXListSearchElement(void *element, va_list args);

#ifdef __cplusplus
}
#endif

#endif

/* Growable array of element pointers stored as memory-manager offsets. */
#include "baselib/kx_list.h"

#include <string.h>

static size_t *Slots(KXList *list, KXMemoryManager *mm)
{
    return (size_t *)KXMemoryToPtr(mm, list->arrayOffset);
}

static KXStatus ResizeArray(KXList *list, KXMemoryManager *mm, int32_t capacity)
{
    size_t *slots = mm->Realloc(mm, Slots(list, mm), (size_t)capacity * sizeof(size_t));
    if (slots == NULL)
        return ERROR_MEMORY;
    if (capacity > list->capacity)
        memset(slots + list->capacity, 0, (size_t)(capacity - list->capacity) * sizeof(size_t));
    list->arrayOffset = KXMemoryToOffset(mm, slots);
    list->capacity = capacity;
    return ERROR_NONE;
}

static KXStatus GrowIfFull(KXList *list, KXMemoryManager *mm)
{
    if (list->count < list->capacity)
        return ERROR_NONE;
    return ResizeArray(list, mm, list->capacity + KX_LIST_GROWTH);
}

KXStatus KXListNew(KXList **list, KXMemoryManager *mm)
{
    if (list == NULL || *list != NULL || mm == NULL)
        return ERROR_PARAMETER;
    *list = mm->Calloc(mm, 1, sizeof(KXList));
    return *list != NULL ? ERROR_NONE : ERROR_MEMORY;
}

KXStatus KXListNamedNew(KXList **list, int name, KXMemoryManager *mm, int *created)
{
    KXList *record;

    if (list == NULL || *list != NULL || created == NULL || mm == NULL)
        return ERROR_PARAMETER;
    record = mm->NamedCalloc(mm, name, 1, sizeof(KXList), created);
    if (record == NULL)
        return ERROR_MEMORY;
    /* A list that another user created is taken as found. */
    if (*created == 1)
        memset(record, 0, sizeof(KXList));
    *list = record;
    return ERROR_NONE;
}

KXStatus KXListAdd(KXList *list, KXMemoryManager *mm, void *element)
{
    KXStatus status;

    if (list == NULL || mm == NULL || element == NULL)
        return ERROR_PARAMETER;
    status = GrowIfFull(list, mm);
    if (status != ERROR_NONE)
        return status;
    Slots(list, mm)[list->count] = KXMemoryToOffset(mm, element);
    list->count++;
    return ERROR_NONE;
}

KXStatus KXListInsertAt(KXList *list, KXMemoryManager *mm, void *element, int index)
{
    KXStatus status;
    size_t *slots;

    if (list == NULL || mm == NULL || element == NULL)
        return ERROR_PARAMETER;
    /* The index must name an existing element; appending is Add's job. */
    if (index < 0 || index >= list->count)
        return ERROR_INDEX;
    status = GrowIfFull(list, mm);
    if (status != ERROR_NONE)
        return status;
    slots = Slots(list, mm);
    memmove(slots + index + 1, slots + index, (size_t)(list->count - index) * sizeof(size_t));
    slots[index] = KXMemoryToOffset(mm, element);
    list->count++;
    return ERROR_NONE;
}

void *KXListElementAt(KXList *list, KXMemoryManager *mm, KXStatus *status, int index)
{
    if (list == NULL || mm == NULL || status == NULL) {
        if (status != NULL)
            *status = ERROR_PARAMETER;
        return NULL;
    }
    if (index < 0 || index >= list->count) {
        *status = ERROR_INDEX;
        return NULL;
    }
    *status = ERROR_NONE;
    return KXMemoryToPtr(mm, Slots(list, mm)[index]);
}

KXStatus KXListSize(KXList *list, KXMemoryManager *mm, int *size)
{
    if (list == NULL || mm == NULL || size == NULL)
        return ERROR_PARAMETER;
    *size = list->count;
    return ERROR_NONE;
}

KXStatus KXListRemoveAt(KXList *list, KXMemoryManager *mm, int index)
{
    size_t *slots;
    int32_t reduced;

    if (list == NULL || mm == NULL)
        return ERROR_PARAMETER;
    if (index < 0 || index >= list->count)
        return ERROR_INDEX;
    slots = Slots(list, mm);
    memmove(slots + index, slots + index + 1, (size_t)(list->count - index - 1) * sizeof(size_t));
    list->count--;
    slots[list->count] = 0;

    /* Give back one step of slots once more than two steps lie unused; a
     * failed shrink leaves a larger array, which is harmless. */
    reduced = list->capacity - KX_LIST_GROWTH;
    if (list->capacity - list->count > 2 * KX_LIST_GROWTH && reduced > KX_LIST_GROWTH &&
        reduced > list->count)
        (void)ResizeArray(list, mm, reduced);
    return ERROR_NONE;
}

KXStatus KXListRemove(KXList *list, KXMemoryManager *mm, void *element)
{
    int index = -1;
    KXStatus status = KXListFind(list, mm, element, &index);

    if (status != ERROR_NONE)
        return status;
    return KXListRemoveAt(list, mm, index);
}

int _KXListSearchElement(void *element, va_list args)
{
    return element == va_arg(args, void *);
}

KXStatus KXListFind(KXList *list, KXMemoryManager *mm, void *element, int *index)
{
    KXStatus status;

    if (list == NULL || mm == NULL || element == NULL || index == NULL)
        return ERROR_PARAMETER;
    status = KXListFirstThat(list, mm, _KXListSearchElement, index, element);
    if (status != ERROR_NONE)
        return status;
    return *index >= 0 ? ERROR_NONE : ERROR_NOT_FOUND;
}

/* Every call gets its own copy of the arguments, since a callee that reads
 * them consumes the va_list. */
static int CallWithArgs(KXListFunction function, void *element, va_list args)
{
    va_list copy;
    int result;

    va_copy(copy, args);
    result = function(element, copy);
    va_end(copy);
    return result;
}

int KXListVForEach(KXList *list, KXMemoryManager *mm, KXListFunction function, va_list args)
{
    int result = 0;
    int32_t i;

    if (list == NULL || mm == NULL || function == NULL)
        return ERROR_PARAMETER;
    for (i = 0; i < list->count; i++) {
        result = CallWithArgs(function, KXMemoryToPtr(mm, Slots(list, mm)[i]), args);
        if (result != 0)
            break;
    }
    return result;
}

int KXListForEach(KXList *list, KXMemoryManager *mm, KXListFunction function, ...)
{
    va_list args;
    int result;

    va_start(args, function);
    result = KXListVForEach(list, mm, function, args);
    va_end(args);
    return result;
}

KXStatus KXListVNextThat(KXList *list, KXMemoryManager *mm, int start, KXListFunction predicate,
                         int *index, va_list args)
{
    int32_t i;

    if (list == NULL || mm == NULL || predicate == NULL || index == NULL || start < 0)
        return ERROR_PARAMETER;
    *index = -1;
    for (i = start; i < list->count; i++) {
        if (CallWithArgs(predicate, KXMemoryToPtr(mm, Slots(list, mm)[i]), args) != 0) {
            *index = i;
            break;
        }
    }
    return ERROR_NONE;
}

KXStatus KXListNextThat(KXList *list, KXMemoryManager *mm, int start, KXListFunction predicate,
                        int *index, ...)
{
    va_list args;
    KXStatus status;

    va_start(args, index);
    status = KXListVNextThat(list, mm, start, predicate, index, args);
    va_end(args);
    return status;
}

KXStatus KXListVFirstThat(KXList *list, KXMemoryManager *mm, KXListFunction predicate, int *index,
                          va_list args)
{
    return KXListVNextThat(list, mm, 0, predicate, index, args);
}

KXStatus KXListFirstThat(KXList *list, KXMemoryManager *mm, KXListFunction predicate, int *index,
                         ...)
{
    va_list args;
    KXStatus status;

    va_start(args, index);
    status = KXListVNextThat(list, mm, 0, predicate, index, args);
    va_end(args);
    return status;
}

KXStatus KXListClear(KXList *list, KXMemoryManager *mm)
{
    size_t *slots;

    if (list == NULL || mm == NULL)
        return ERROR_PARAMETER;
    slots = Slots(list, mm);
    list->count = 0;
    list->capacity = 0;
    list->arrayOffset = 0;
    if (slots != NULL)
        mm->Unalloc(mm, slots);
    return ERROR_NONE;
}

KXStatus KXListClearAndFreeElements(KXList *list, KXMemoryManager *mm, KXListDestructor destructor,
                                    ...)
{
    va_list args;
    int32_t i;

    if (list == NULL || mm == NULL || destructor == NULL)
        return ERROR_PARAMETER;
    va_start(args, destructor);
    for (i = list->count - 1; i >= 0; i--) {
        void *element = KXMemoryToPtr(mm, Slots(list, mm)[i]);
        va_list copy;
        int result;

        va_copy(copy, args);
        result = destructor(&element, copy);
        va_end(copy);
        if (result != 0) {
            va_end(args);
            return result;
        }
        /* Drop each destroyed element at once, so that a destructor failing
         * further down leaves only live elements in the list. */
        Slots(list, mm)[i] = 0;
        list->count = i;
    }
    va_end(args);
    return KXListClear(list, mm);
}

KXStatus KXListFree(KXList **list, KXMemoryManager *mm)
{
    KXStatus status;

    if (list == NULL || *list == NULL || mm == NULL)
        return ERROR_PARAMETER;
    status = KXListClear(*list, mm);
    if (status != ERROR_NONE)
        return status;
    mm->Unalloc(mm, *list);
    *list = NULL;
    return ERROR_NONE;
}

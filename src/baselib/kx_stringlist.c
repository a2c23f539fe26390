/* List of owned string copies over a KXList with its own heap manager. */
#include "baselib/kx_stringlist.h"

#include <stdlib.h>
#include <string.h>

KXStatus KXStringListNew(KXStringList **list)
{
    KXStringList *record;
    KXStatus status;

    if (list == NULL || *list != NULL)
        return ERROR_PARAMETER;
    record = calloc(1, sizeof(KXStringList));
    if (record == NULL)
        return ERROR_MEMORY;
    status = KXMemoryManagerSysNew(&record->mm);
    if (status == ERROR_NONE) {
        status = KXListNew(&record->list, record->mm);
        if (status == ERROR_NONE) {
            *list = record;
            return ERROR_NONE;
        }
        record->mm->Free(&record->mm);
    }
    free(record);
    *list = NULL;
    return status;
}

KXStatus KXStringListFree(KXStringList **list)
{
    KXStatus status;

    if (list == NULL || *list == NULL)
        return ERROR_PARAMETER;
    status = KXStringListClear(*list);
    if (status != ERROR_NONE)
        return status;
    status = KXListFree(&(*list)->list, (*list)->mm);
    if (status != ERROR_NONE)
        return status;
    status = (*list)->mm->Free(&(*list)->mm);
    if (status != ERROR_NONE)
        return status;
    free(*list);
    *list = NULL;
    return ERROR_NONE;
}

static KXStatus StoreCopy(KXStringList *list, const char *text, int index, int append)
{
    char *copy;
    KXStatus status;

    if (list == NULL || text == NULL)
        return ERROR_PARAMETER;
    copy = strdup(text);
    if (copy == NULL)
        return ERROR_MEMORY;
    status = append ? KXListAdd(list->list, list->mm, copy)
                    : KXListInsertAt(list->list, list->mm, copy, index);
    if (status != ERROR_NONE)
        free(copy);
    return status;
}

KXStatus KXStringListAdd(KXStringList *list, const char *text)
{
    return StoreCopy(list, text, 0, 1);
}

KXStatus KXStringListInsertAt(KXStringList *list, const char *text, int index)
{
    return StoreCopy(list, text, index, 0);
}

KXStatus KXStringListSize(KXStringList *list, int *size)
{
    if (list == NULL)
        return ERROR_PARAMETER;
    return KXListSize(list->list, list->mm, size);
}

char *KXStringListElementAt(KXStringList *list, int index, KXStatus *status)
{
    if (list == NULL) {
        if (status != NULL)
            *status = ERROR_PARAMETER;
        return NULL;
    }
    return KXListElementAt(list->list, list->mm, status, index);
}

KXStatus KXStringListRemoveAt(KXStringList *list, int index)
{
    KXStatus status;
    char *text;

    if (list == NULL)
        return ERROR_PARAMETER;
    text = KXListElementAt(list->list, list->mm, &status, index);
    if (status != ERROR_NONE)
        return status;
    status = KXListRemoveAt(list->list, list->mm, index);
    if (status != ERROR_NONE)
        return status;
    free(text);
    return ERROR_NONE;
}

KXStatus KXStringListClear(KXStringList *list)
{
    int size = 0;
    KXStatus status;

    if (list == NULL)
        return ERROR_PARAMETER;
    status = KXListSize(list->list, list->mm, &size);
    while (status == ERROR_NONE && size > 0)
        status = KXStringListRemoveAt(list, --size);
    return status;
}

int KXStringListVForEach(KXStringList *list, KXListFunction function, va_list args)
{
    if (list == NULL || function == NULL)
        return ERROR_PARAMETER;
    return KXListVForEach(list->list, list->mm, function, args);
}

int KXStringListForEach(KXStringList *list, KXListFunction function, ...)
{
    va_list args;
    int result;

    va_start(args, function);
    result = KXStringListVForEach(list, function, args);
    va_end(args);
    return result;
}

KXStatus KXStringListVNextThat(KXStringList *list, int start, KXListFunction predicate, int *index,
                               va_list args)
{
    if (list == NULL || predicate == NULL || index == NULL || start < 0)
        return ERROR_PARAMETER;
    return KXListVNextThat(list->list, list->mm, start, predicate, index, args);
}

KXStatus KXStringListNextThat(KXStringList *list, int start, KXListFunction predicate, int *index,
                              ...)
{
    va_list args;
    KXStatus status;

    va_start(args, index);
    status = KXStringListVNextThat(list, start, predicate, index, args);
    va_end(args);
    return status;
}

KXStatus KXStringListVFirstThat(KXStringList *list, KXListFunction predicate, int *index,
                                va_list args)
{
    return KXStringListVNextThat(list, 0, predicate, index, args);
}

KXStatus KXStringListFirstThat(KXStringList *list, KXListFunction predicate, int *index, ...)
{
    va_list args;
    KXStatus status;

    va_start(args, index);
    status = KXStringListVNextThat(list, 0, predicate, index, args);
    va_end(args);
    return status;
}

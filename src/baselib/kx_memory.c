/* The heap memory manager. Containers are written against the operation
 * table so that they can also live in shared memory; on the heap offsets
 * and pointers are the same thing and every named block is private. */
#include "baselib/kx_memory.h"

#include <stdlib.h>
#include <string.h>

KXStatus KXMemoryManagerSysNew(KXMemoryManager **manager)
{
    KXMemoryManager *mm;

    if (manager == NULL || *manager != NULL)
        return ERROR_PARAMETER;
    mm = calloc(1, sizeof(*mm));
    if (mm == NULL)
        return ERROR_MEMORY;
    mm->data = NULL;
    mm->Malloc = KXMemoryManagerSysMalloc;
    mm->Calloc = KXMemoryManagerSysCalloc;
    mm->Realloc = KXMemoryManagerSysRealloc;
    mm->Unalloc = KXMemoryManagerSysUnalloc;
    mm->NamedMalloc = KXMemoryManagerSysNamedMalloc;
    mm->NamedCalloc = KXMemoryManagerSysNamedCalloc;
    mm->ReleaseName = KXMemoryManagerSysReleaseName;
    mm->GetOffset = KXMemoryManagerSysGetOffset;
    mm->GetPtr = KXMemoryManagerSysGetPtr;
    mm->Free = KXMemoryManagerSysFree;
    mm->Strdup = KXMemoryManagerSysStrdup;
    *manager = mm;
    return ERROR_NONE;
}

void *KXMemoryManagerSysMalloc(KXMemoryManager *mm, size_t size)
{
    if (mm == NULL)
        return NULL;
    return malloc(size);
}

void *KXMemoryManagerSysCalloc(KXMemoryManager *mm, size_t count, size_t size)
{
    if (mm == NULL)
        return NULL;
    return calloc(count, size);
}

void *KXMemoryManagerSysRealloc(KXMemoryManager *mm, void *block, size_t size)
{
    if (mm == NULL)
        return NULL;
    return realloc(block, size);
}

void KXMemoryManagerSysUnalloc(KXMemoryManager *mm, void *block)
{
    if (mm != NULL && block != NULL)
        free(block);
}

/* The heap has no names: every request creates a fresh block, which the
 * caller then initialises as the creator. */
void *KXMemoryManagerSysNamedMalloc(KXMemoryManager *mm, int name, size_t size, int *created)
{
    (void)name;
    if (mm == NULL)
        return NULL;
    if (created != NULL)
        *created = 1;
    return mm->Malloc(mm, size);
}

void *KXMemoryManagerSysNamedCalloc(KXMemoryManager *mm, int name, size_t count, size_t size,
                                    int *created)
{
    (void)name;
    if (mm == NULL)
        return NULL;
    if (created != NULL)
        *created = 1;
    return mm->Calloc(mm, count, size);
}

/* Nobody else can hold a heap block, so every release is the last one. */
KXStatus KXMemoryManagerSysReleaseName(KXMemoryManager *mm, int name, int *users)
{
    (void)mm;
    (void)name;
    if (users != NULL)
        *users = 0;
    return ERROR_NONE;
}

size_t KXMemoryManagerSysGetOffset(KXMemoryManager *mm, void *pointer)
{
    (void)mm;
    return (size_t)pointer;
}

void *KXMemoryManagerSysGetPtr(KXMemoryManager *mm, size_t offset)
{
    (void)mm;
    return (void *)offset;
}

KXStatus KXMemoryManagerSysFree(KXMemoryManager **mm)
{
    if (mm == NULL || *mm == NULL)
        return ERROR_PARAMETER;
    free((*mm)->data);
    free(*mm);
    *mm = NULL;
    return ERROR_NONE;
}

char *KXMemoryManagerSysStrdup(KXMemoryManager *mm, const char *string)
{
    if (mm == NULL || string == NULL)
        return NULL;
    return strdup(string);
}

int KXSimpleFreeDestructor(void **element, va_list args)
{
    (void)args;
    if (element != NULL) {
        free(*element);
        *element = NULL;
    }
    return 0;
}

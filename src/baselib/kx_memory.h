/* Memory manager: a table of operations so that containers can run on the
 * heap or on an allocator of position-independent, named blocks. Containers
 * store GetOffset(p) and follow references with GetPtr. */
#ifndef KX_MEMORY_H
#define KX_MEMORY_H

#include <stdarg.h>
#include <stddef.h>
#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KXMemoryManager KXMemoryManager;

struct KXMemoryManager {
    void *data;
    void *(*Malloc)(KXMemoryManager *mm, size_t size);
    void *(*Calloc)(KXMemoryManager *mm, size_t count, size_t size);
    void *(*Realloc)(KXMemoryManager *mm, void *block, size_t size);
    void (*Unalloc)(KXMemoryManager *mm, void *block);
    void *(*NamedMalloc)(KXMemoryManager *mm, int name, size_t size, int *created);
    void *(*NamedCalloc)(KXMemoryManager *mm, int name, size_t count, size_t size, int *created);
    KXStatus (*ReleaseName)(KXMemoryManager *mm, int name, int *users);
    size_t (*GetOffset)(KXMemoryManager *mm, void *pointer);
    void *(*GetPtr)(KXMemoryManager *mm, size_t offset);
    KXStatus (*Free)(KXMemoryManager **mm);
    char *(*Strdup)(KXMemoryManager *mm, const char *string);
};

/* The heap manager in *manager (which must be null; the caller frees it
 * with its Free). ERROR_PARAMETER, or ERROR_MEMORY. Its operations behave
 * as malloc, calloc, realloc and free (null for a null mm); named blocks are
 * private heap blocks (created is always 1, ReleaseName leaves 0 users);
 * offsets are the pointers themselves. */
KXStatus KXMemoryManagerSysNew(KXMemoryManager **manager);

void *KXMemoryManagerSysMalloc(KXMemoryManager *mm, size_t size);
void *KXMemoryManagerSysCalloc(KXMemoryManager *mm, size_t count, size_t size);
void *KXMemoryManagerSysRealloc(KXMemoryManager *mm, void *block, size_t size);
void KXMemoryManagerSysUnalloc(KXMemoryManager *mm, void *block);
void *KXMemoryManagerSysNamedMalloc(KXMemoryManager *mm, int name, size_t size, int *created);
void *KXMemoryManagerSysNamedCalloc(KXMemoryManager *mm, int name, size_t count, size_t size,
                                    int *created);
KXStatus KXMemoryManagerSysReleaseName(KXMemoryManager *mm, int name, int *users);
size_t KXMemoryManagerSysGetOffset(KXMemoryManager *mm, void *pointer);
void *KXMemoryManagerSysGetPtr(KXMemoryManager *mm, size_t offset);
KXStatus KXMemoryManagerSysFree(KXMemoryManager **mm);
char *KXMemoryManagerSysStrdup(KXMemoryManager *mm, const char *string);

/* A reference for a container to store: mm's offset of pointer, and 0 for
 * null whatever the manager's mapping. This function can't fail. */
static inline size_t KXMemoryToOffset(KXMemoryManager *mm, void *pointer)
{
    return pointer != NULL ? mm->GetOffset(mm, pointer) : 0;
}

/* The pointer a stored reference stands for; null for 0. This function
 * can't fail. */
static inline void *KXMemoryToPtr(KXMemoryManager *mm, size_t offset)
{
    return offset != 0 ? mm->GetPtr(mm, offset) : NULL;
}

/* Element destructor for elements that are plain heap blocks (hash, lists):
 * frees *element and nulls it; returns 0. */
int KXSimpleFreeDestructor(void **element, va_list args);

#ifdef __cplusplus
}
#endif

#endif

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

/* Element destructor for elements that are plain heap blocks (hash, lists). */
int KXSimpleFreeDestructor(void **element, va_list args);

#ifdef __cplusplus
}
#endif

#endif

/* Dictionary from zero-terminated byte-string keys to untyped element
 * pointers: open addressing, linear probing downwards, lookup2 hash, load
 * limit 0.9, deletion by backward shifting. Every block comes from the
 * memory manager passed to each call and every reference is stored as the
 * manager's offset. Keys are copied and owned; elements are not. */
#ifndef KX_HASH_H
#define KX_HASH_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include "baselib/kx_memory.h"
#include "baselib/kx_status.h"
#include "baselib/kx_stringlist.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KXHash {
    int32_t size;       /* number of slots, 0 until the first insertion */
    int32_t count;      /* number of entries */
    size_t *slots;      /* pointer cache of the slot array (size + 1 words) */
    size_t slotsOffset; /* stored form of the slot array */
} KXHash;

typedef struct KXHashEntry {
    void *value;
    size_t valueOffset;
    char *key;
    size_t keyOffset;
} KXHashEntry;

typedef int (*KXHashFunction)(const char *key, void *element, va_list args);
typedef int (*KXHashDestructor)(void **element, va_list args);

KXStatus KXHashNew(KXHash **hash, KXMemoryManager *mm);
KXStatus KXHashNamedNew(KXHash **hash, int name, KXMemoryManager *mm, int *created);
KXStatus KXHashSet(KXHash *hash, KXMemoryManager *mm, const char *key, void *element);
void *KXHashGet(KXHash *hash, KXMemoryManager *mm, const char *key, KXStatus *status);
int KXHashExists(KXHash *hash, KXMemoryManager *mm, const char *key);
KXStatus KXHashRemove(KXHash *hash, KXMemoryManager *mm, const char *key);
KXStatus KXHashKeys(KXHash *hash, KXMemoryManager *mm, KXStringList *keys);
int KXHashForEach(KXHash *hash, KXMemoryManager *mm, KXHashFunction function, ...);
KXStatus KXHashClear(KXHash *hash, KXMemoryManager *mm);
KXStatus KXHashClearAndFreeElements(KXHash *hash, KXMemoryManager *mm, KXHashDestructor destructor,
                                    ...);
KXStatus KXHashFree(KXHash **hash, KXMemoryManager *mm);

/* Bob Jenkins' 1996 lookup2 hash of `length` bytes; exposed for tests. */
uint32_t KXHashLookup2(const unsigned char *key, uint32_t length, uint32_t initval);
/* Slot where probing for `key` starts in a table of `size` slots. */
int32_t KXHashHomeSlot(const char *key, int32_t size);

#ifdef __cplusplus
}
#endif

#endif

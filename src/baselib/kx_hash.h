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

/* All functions return ERROR_PARAMETER for a null hash, mm or key (or
 * another null pointer argument) and change nothing then. */

/* A new empty table from mm in *hash (which must be null); the caller owns
 * it and frees it with KXHashFree. ERROR_MEMORY when mm has no block. */
KXStatus KXHashNew(KXHash **hash, KXMemoryManager *mm);
/* The table under name in mm: *created is 1 when this call made it (empty),
 * 0 when it is another user's, taken as found. ERROR_MEMORY on failure. */
KXStatus KXHashNamedNew(KXHash **hash, int name, KXMemoryManager *mm, int *created);
/* Maps key (copied; the copy is the table's) to element (not owned, may be
 * null), replacing an earlier element, which is not freed. ERROR_MEMORY when
 * the table cannot grow or the key cannot be copied: nothing changed then. */
KXStatus KXHashSet(KXHash *hash, KXMemoryManager *mm, const char *key, void *element);
/* The element of key, or null when key is absent (status ERROR_NONE all the
 * same) or an argument is null (ERROR_PARAMETER). status may be null. */
void *KXHashGet(KXHash *hash, KXMemoryManager *mm, const char *key, KXStatus *status);
/* 1 when key is present, 0 when not; ERROR_PARAMETER for a null argument. */
int KXHashExists(KXHash *hash, KXMemoryManager *mm, const char *key);
/* Removes key and its copy; the element is not freed. A missing key is no
 * error. */
KXStatus KXHashRemove(KXHash *hash, KXMemoryManager *mm, const char *key);
/* Appends every key, in slot order, to keys (the caller's list, which
 * copies them); a failure of KXStringListAdd stops it and is returned. */
KXStatus KXHashKeys(KXHash *hash, KXMemoryManager *mm, KXStringList *keys);
/* Calls function(key, element, args) for each entry in slot order and
 * stops at the first non-zero result, which it returns; 0 otherwise. */
int KXHashForEach(KXHash *hash, KXMemoryManager *mm, KXHashFunction function, ...);
/* Removes every entry and key copy; the elements are left to their owners.
 * The table keeps its slots. */
KXStatus KXHashClear(KXHash *hash, KXMemoryManager *mm);
/* As KXHashClear, calling destructor(&element, args) for each element on
 * the way; the destructor's results are ignored. */
KXStatus KXHashClearAndFreeElements(KXHash *hash, KXMemoryManager *mm, KXHashDestructor destructor,
                                    ...);
/* Clears the table, returns slots and record to mm and nulls *hash; the
 * elements are not freed. */
KXStatus KXHashFree(KXHash **hash, KXMemoryManager *mm);

/* Bob Jenkins' 1996 lookup2 hash of `length` bytes; exposed for tests. */
uint32_t KXHashLookup2(const unsigned char *key, uint32_t length, uint32_t initval);
/* Slot where probing for `key` starts in a table of `size` slots. */
int32_t KXHashHomeSlot(const char *key, int32_t size);

#ifdef __cplusplus
}
#endif

#endif

/* Open-addressing hash table with downward linear probing and backward-shift
 * deletion. The slot order is visible to users (it is the order of keys and
 * sections handed out), so the hash function and the probing must stay
 * exactly as they are. */
#include "baselib/kx_hash.h"

#include <string.h>

#define KX_HASH_LOAD_LIMIT 0.9
#define KX_HASH_FIRST_SIZE 256
#define KX_HASH_DOUBLING_LIMIT 65535
#define KX_HASH_STEP 65536
/* The per-key start value of lookup2 is the key length times this. */
#define KX_HASH_INIT_FACTOR 0xE5768B62u

/* ---- lookup2 (Bob Jenkins, 1996) ---- */

#define KX_HASH_MIX(a, b, c)                                                                       \
    do {                                                                                           \
        a -= b; a -= c; a ^= (c >> 13);                                                            \
        b -= c; b -= a; b ^= (a << 8);                                                             \
        c -= a; c -= b; c ^= (b >> 13);                                                            \
        a -= b; a -= c; a ^= (c >> 12);                                                            \
        b -= c; b -= a; b ^= (a << 16);                                                            \
        c -= a; c -= b; c ^= (b >> 5);                                                             \
        a -= b; a -= c; a ^= (c >> 3);                                                             \
        b -= c; b -= a; b ^= (a << 10);                                                            \
        c -= a; c -= b; c ^= (b >> 15);                                                            \
    } while (0)

static uint32_t Word(const unsigned char *k)
{
    return (uint32_t)k[0] | ((uint32_t)k[1] << 8) | ((uint32_t)k[2] << 16) |
           ((uint32_t)k[3] << 24);
}

uint32_t KXHashLookup2(const unsigned char *k, uint32_t length, uint32_t initval)
{
    uint32_t a = 0x9E3779B9u; /* the golden ratio, an arbitrary start */
    uint32_t b = 0x9E3779B9u;
    uint32_t c = initval;
    uint32_t len = length;

    while (len >= 12) {
        a += Word(k);
        b += Word(k + 4);
        c += Word(k + 8);
        KX_HASH_MIX(a, b, c);
        k += 12;
        len -= 12;
    }

    /* The lowest byte of c is taken by the length. */
    c += length;
    switch (len) {
    case 11: c += (uint32_t)k[10] << 24; /* fall through */
    case 10: c += (uint32_t)k[9] << 16;  /* fall through */
    case 9:  c += (uint32_t)k[8] << 8;   /* fall through */
    case 8:  b += (uint32_t)k[7] << 24;  /* fall through */
    case 7:  b += (uint32_t)k[6] << 16;  /* fall through */
    case 6:  b += (uint32_t)k[5] << 8;   /* fall through */
    case 5:  b += k[4];                  /* fall through */
    case 4:  a += (uint32_t)k[3] << 24;  /* fall through */
    case 3:  a += (uint32_t)k[2] << 16;  /* fall through */
    case 2:  a += (uint32_t)k[1] << 8;   /* fall through */
    case 1:  a += k[0];                  /* fall through */
    default: break;
    }
    KX_HASH_MIX(a, b, c);
    return c;
}

int32_t KXHashHomeSlot(const char *key, int32_t size)
{
    uint32_t length;
    uint32_t h;

    if (key == NULL || size < 2)
        return 0;
    length = (uint32_t)strlen(key);
    h = KXHashLookup2((const unsigned char *)key, length, length * KX_HASH_INIT_FACTOR);

    /* Never yields the last slot; probing reaches it only by wrapping. */
    return (int32_t)(h % (uint32_t)(size - 1));
}

/* ---- helpers ---- */

static void RefreshSlots(KXHash *hash, KXMemoryManager *mm)
{
    hash->slots = (size_t *)KXMemoryToPtr(mm, hash->slotsOffset);
}

static KXHashEntry *EntryAt(KXHash *hash, KXMemoryManager *mm, int32_t slot)
{
    KXHashEntry *entry = (KXHashEntry *)KXMemoryToPtr(mm, hash->slots[slot]);

    if (entry != NULL)
        entry->key = (char *)KXMemoryToPtr(mm, entry->keyOffset);
    return entry;
}

static int32_t PreviousSlot(int32_t pos, int32_t size)
{
    pos = (pos - 1) % (size - 1);
    if (pos < 0)
        pos += size;
    return pos;
}

/* The slot holding key, or the first empty slot on its probe run. */
static int32_t FindIndex(KXHash *hash, KXMemoryManager *mm, const char *key)
{
    int32_t pos = KXHashHomeSlot(key, hash->size);
    KXHashEntry *entry;

    while ((entry = EntryAt(hash, mm, pos)) != NULL && strcmp(entry->key, key) != 0)
        pos = PreviousSlot(pos, hash->size);
    return pos;
}

static KXStatus Rehash(KXHash *hash, KXMemoryManager *mm, int32_t wanted)
{
    int32_t oldSize = hash->size;
    size_t *oldSlots = hash->slots;
    int32_t newSize = hash->count < wanted ? wanted : hash->count * 2 + 1;
    size_t *newSlots = mm->Calloc(mm, (size_t)newSize + 1, sizeof(size_t));
    int32_t i;

    if (newSlots == NULL)
        return ERROR_MEMORY;
    hash->size = newSize;
    hash->slots = newSlots;
    hash->slotsOffset = KXMemoryToOffset(mm, newSlots);
    if (oldSlots == NULL)
        return ERROR_NONE;

    for (i = 0; i < oldSize; i++) {
        KXHashEntry *entry = (KXHashEntry *)KXMemoryToPtr(mm, oldSlots[i]);
        if (entry == NULL)
            continue;
        entry->key = (char *)KXMemoryToPtr(mm, entry->keyOffset);
        newSlots[FindIndex(hash, mm, entry->key)] = oldSlots[i];
    }
    mm->Unalloc(mm, oldSlots);
    return ERROR_NONE;
}

/* ---- interface ---- */

KXStatus KXHashNew(KXHash **hash, KXMemoryManager *mm)
{
    if (hash == NULL || *hash != NULL || mm == NULL)
        return ERROR_PARAMETER;
    *hash = mm->Calloc(mm, 1, sizeof(KXHash));
    return *hash != NULL ? ERROR_NONE : ERROR_MEMORY;
}

KXStatus KXHashNamedNew(KXHash **hash, int name, KXMemoryManager *mm, int *created)
{
    KXHash *record;

    if (hash == NULL || *hash != NULL || created == NULL || mm == NULL)
        return ERROR_PARAMETER;
    record = mm->NamedCalloc(mm, name, 1, sizeof(KXHash), created);
    if (record == NULL)
        return ERROR_MEMORY;
    /* A table that another user created is used as found. */
    if (*created == 1)
        memset(record, 0, sizeof(KXHash));
    *hash = record;
    return ERROR_NONE;
}

KXStatus KXHashSet(KXHash *hash, KXMemoryManager *mm, const char *key, void *element)
{
    KXHashEntry *entry;
    int32_t slot;

    if (hash == NULL || key == NULL || mm == NULL)
        return ERROR_PARAMETER;
    RefreshSlots(hash, mm);
    if ((double)hash->count >= (double)hash->size * KX_HASH_LOAD_LIMIT) {
        int32_t wanted = hash->size <= 255                     ? KX_HASH_FIRST_SIZE
                         : hash->size <= KX_HASH_DOUBLING_LIMIT ? hash->size * 2
                                                                : hash->size + KX_HASH_STEP;
        KXStatus status = Rehash(hash, mm, wanted);
        if (status != ERROR_NONE)
            return status;
    }

    slot = FindIndex(hash, mm, key);
    entry = EntryAt(hash, mm, slot);
    if (entry == NULL) {
        char *copy;

        entry = mm->Malloc(mm, sizeof(KXHashEntry));
        if (entry == NULL)
            return ERROR_MEMORY;
        hash->slots[slot] = KXMemoryToOffset(mm, entry);
        copy = mm->Strdup(mm, key);
        if (copy == NULL) {
            hash->slots[slot] = 0;
            mm->Unalloc(mm, entry);
            return ERROR_MEMORY;
        }
        entry->key = copy;
        entry->keyOffset = KXMemoryToOffset(mm, copy);
        hash->count++;
    }
    entry->value = element;
    entry->valueOffset = KXMemoryToOffset(mm, element);
    return ERROR_NONE;
}

void *KXHashGet(KXHash *hash, KXMemoryManager *mm, const char *key, KXStatus *status)
{
    KXHashEntry *entry;

    if (hash == NULL || key == NULL || mm == NULL) {
        if (status != NULL)
            *status = ERROR_PARAMETER;
        return NULL;
    }
    if (status != NULL)
        *status = ERROR_NONE;
    RefreshSlots(hash, mm);
    if (hash->slots == NULL)
        return NULL;
    entry = EntryAt(hash, mm, FindIndex(hash, mm, key));
    if (entry == NULL)
        return NULL;
    entry->value = KXMemoryToPtr(mm, entry->valueOffset);
    return entry->value;
}

int KXHashExists(KXHash *hash, KXMemoryManager *mm, const char *key)
{
    if (hash == NULL || key == NULL || mm == NULL)
        return ERROR_PARAMETER;
    RefreshSlots(hash, mm);
    if (hash->slots == NULL)
        return 0;
    return EntryAt(hash, mm, FindIndex(hash, mm, key)) != NULL;
}

KXStatus KXHashRemove(KXHash *hash, KXMemoryManager *mm, const char *key)
{
    KXHashEntry *entry;
    int32_t hole, pos;

    if (hash == NULL || key == NULL || mm == NULL)
        return ERROR_PARAMETER;
    RefreshSlots(hash, mm);
    if (hash->slots == NULL)
        return ERROR_NONE;
    hole = FindIndex(hash, mm, key);
    entry = EntryAt(hash, mm, hole);
    if (entry == NULL)
        return ERROR_NONE;
    mm->Unalloc(mm, entry->key);
    mm->Unalloc(mm, entry);
    hash->slots[hole] = 0;

    /* Backward shift: pull up every later entry of the run whose probe path
     * passes the hole, so that no lookup stops early at it. */
    for (pos = PreviousSlot(hole, hash->size);; pos = PreviousSlot(pos, hash->size)) {
        int32_t home;
        int stays;

        entry = EntryAt(hash, mm, pos);
        if (entry == NULL)
            break;
        home = KXHashHomeSlot(entry->key, hash->size);
        if (pos < hole)
            stays = pos <= home && home < hole;
        else
            stays = home >= pos || home < hole;
        if (!stays) {
            hash->slots[hole] = hash->slots[pos];
            hash->slots[pos] = 0;
            hole = pos;
        }
    }
    hash->count--;
    return ERROR_NONE;
}

KXStatus KXHashKeys(KXHash *hash, KXMemoryManager *mm, KXStringList *keys)
{
    int32_t i;

    if (hash == NULL || keys == NULL || mm == NULL)
        return ERROR_PARAMETER;
    RefreshSlots(hash, mm);
    if (hash->slots == NULL)
        return ERROR_NONE;
    for (i = 0; i < hash->size; i++) {
        KXHashEntry *entry = EntryAt(hash, mm, i);
        if (entry != NULL) {
            KXStatus status = KXStringListAdd(keys, entry->key);
            if (status != ERROR_NONE)
                return status;
        }
    }
    return ERROR_NONE;
}

int KXHashForEach(KXHash *hash, KXMemoryManager *mm, KXHashFunction function, ...)
{
    va_list args;
    int32_t i;
    int result = 0;

    if (hash == NULL || function == NULL || mm == NULL)
        return ERROR_PARAMETER;
    RefreshSlots(hash, mm);
    if (hash->slots == NULL)
        return 0;
    va_start(args, function);
    for (i = 0; i < hash->size && result == 0; i++) {
        KXHashEntry *entry = EntryAt(hash, mm, i);
        if (entry != NULL) {
            va_list copy;

            entry->value = KXMemoryToPtr(mm, entry->valueOffset);
            va_copy(copy, args);
            result = function(entry->key, entry->value, copy);
            va_end(copy);
        }
    }
    va_end(args);
    return result;
}

KXStatus KXHashClear(KXHash *hash, KXMemoryManager *mm)
{
    int32_t i;

    if (hash == NULL || mm == NULL)
        return ERROR_PARAMETER;
    RefreshSlots(hash, mm);
    if (hash->slots != NULL) {
        for (i = 0; i < hash->size; i++) {
            KXHashEntry *entry = EntryAt(hash, mm, i);
            if (entry != NULL) {
                mm->Unalloc(mm, entry->key);
                mm->Unalloc(mm, entry);
                hash->slots[i] = 0;
            }
        }
    }
    hash->count = 0;
    return ERROR_NONE;
}

KXStatus KXHashClearAndFreeElements(KXHash *hash, KXMemoryManager *mm, KXHashDestructor destructor,
                                    ...)
{
    va_list args;
    int32_t i;

    if (hash == NULL || destructor == NULL || mm == NULL)
        return ERROR_PARAMETER;
    RefreshSlots(hash, mm);
    if (hash->slots != NULL) {
        va_start(args, destructor);
        for (i = 0; i < hash->size; i++) {
            KXHashEntry *entry = EntryAt(hash, mm, i);
            if (entry != NULL) {
                va_list copy;

                mm->Unalloc(mm, entry->key);
                entry->value = KXMemoryToPtr(mm, entry->valueOffset);
                va_copy(copy, args);
                (void)destructor(&entry->value, copy);
                va_end(copy);
                mm->Unalloc(mm, entry);
                hash->slots[i] = 0;
            }
        }
        va_end(args);
    }
    hash->count = 0;
    return ERROR_NONE;
}

KXStatus KXHashFree(KXHash **hash, KXMemoryManager *mm)
{
    KXStatus status;

    if (hash == NULL || *hash == NULL || mm == NULL)
        return ERROR_PARAMETER;
    status = KXHashClear(*hash, mm);
    if (status != ERROR_NONE)
        return status;
    if ((*hash)->slots != NULL)
        mm->Unalloc(mm, (*hash)->slots);
    mm->Unalloc(mm, *hash);
    *hash = NULL;
    return ERROR_NONE;
}

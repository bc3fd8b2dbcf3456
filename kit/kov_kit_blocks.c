/* The blocks the kit hands out, and kov_DeleteReceive's check that a block is one of them. A
 * block comes back by its address: the kit looks the address up in a set of its own and never
 * reads the memory behind an address it does not know (an error confirm of the broker's, a
 * block of another provider, a block released already). */
#include "kov_kit_internal.h"

/* An open-addressing set of addresses with linear probing, at most three quarters full. It
 * exists only while a block is live: the broker may unload the library at any moment without
 * notice, and a table still allocated then would be lost for good. Guarded by
 * KOV_KIT_LOCK_BLOCKS. */
static void **gSlots = NULL;
static uint32_t gCapacity = 0; /* a power of two, or 0 while no block is live */
static uint32_t gUsed = 0;

/* Heap addresses share their low bits; mixing spreads them over the table. */
static uint32_t homeSlot(const void *block, uint32_t capacity)
{
    uint32_t h = (uint32_t)(uintptr_t)block;
    h ^= h >> 16;
    h *= 0x7feb352dU;
    h ^= h >> 15;
    h *= 0x846ca68bU;
    h ^= h >> 16;
    return h & (capacity - 1);
}

/* The slot that holds `block`, or the free slot where it would go. */
static uint32_t slotFor(void *const *slots, uint32_t capacity, const void *block)
{
    uint32_t i = homeSlot(block, capacity);
    while (slots[i] != NULL && slots[i] != block)
        i = (i + 1) & (capacity - 1);
    return i;
}

static int grow(void)
{
    const uint32_t capacity = gCapacity == 0 ? 16 : gCapacity * 2;
    void **slots;
    uint32_t i;
    if (gCapacity >= 0x10000000U) /* a table of 2 GiB: the address space is gone long before */
        return 0;
    slots = (void **)KOV_KIT_CALLOC(capacity, sizeof *slots);
    if (slots == NULL)
        return 0;
    for (i = 0; i < gCapacity; ++i)
        if (gSlots[i] != NULL)
            slots[slotFor(slots, capacity, gSlots[i])] = gSlots[i];
    KOV_KIT_FREE(gSlots);
    gSlots = slots;
    gCapacity = capacity;
    return 1;
}

static int remember(void *block)
{
    if ((uint64_t)(gUsed + 1) * 4 > (uint64_t)gCapacity * 3 && !grow())
        return 0;
    gSlots[slotFor(gSlots, gCapacity, block)] = block;
    ++gUsed;
    return 1;
}

/* Takes `block` out of the set; 0 when it was not in it. */
static int forget(const void *block)
{
    const uint32_t mask = gCapacity - 1;
    uint32_t hole, next;
    if (gCapacity == 0)
        return 0;
    hole = slotFor(gSlots, gCapacity, block);
    if (gSlots[hole] == NULL)
        return 0;
    gSlots[hole] = NULL;
    --gUsed;
    if (gUsed == 0) {
        KOV_KIT_FREE(gSlots);
        gSlots = NULL;
        gCapacity = 0;
        return 1;
    }
    /* Backward shift: an entry further on moves into the hole unless its home slot lies
     * (cyclically) after the hole, so every entry stays reachable from its home without
     * tombstones. */
    for (next = (hole + 1) & mask; gSlots[next] != NULL; next = (next + 1) & mask) {
        const uint32_t home = homeSlot(gSlots[next], gCapacity);
        const int stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
        if (stays)
            continue;
        gSlots[hole] = gSlots[next];
        gSlots[next] = NULL;
        hole = next;
    }
    return 1;
}

BrokerMessage *kov_newBlock(uint32_t size)
{
    void *block;
    int remembered;
    if (size < KOV_HEADER_SIZE)
        return NULL;
    block = KOV_KIT_CALLOC(1, size);
    if (block == NULL)
        return NULL;
    kov_kitLock(KOV_KIT_LOCK_BLOCKS);
    remembered = remember(block);
    kov_kitUnlock(KOV_KIT_LOCK_BLOCKS);
    if (!remembered) {
        KOV_KIT_FREE(block);
        return NULL;
    }
    return (BrokerMessage *)block;
}

int32_t kov_releaseBlock(BrokerMessage *block)
{
    int known;
    if (block == NULL)
        return 1;
    kov_kitLock(KOV_KIT_LOCK_BLOCKS);
    known = forget(block);
    kov_kitUnlock(KOV_KIT_LOCK_BLOCKS);
    if (!known)
        return 1;
    KOV_KIT_FREE(block);
    return 0;
}

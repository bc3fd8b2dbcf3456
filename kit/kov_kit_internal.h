/* Shared inside the provider kit only (not installed as a header of the SDK): the platform part
 * each target implements (kov_kit_posix.c, kov_kit_win32.c) and the kit's allocator. Valid C99
 * and C++, so that a provider project of either language can build the kit. */
#ifndef KOV_KIT_INTERNAL_H
#define KOV_KIT_INTERNAL_H

#include <kov/kov_provider.h>

#include <stdlib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Every allocation of the kit goes through these two; the kit's own tests build it with an
 * allocator that fails on demand (KOV_KIT_TEST_ALLOCATOR). */
#ifdef KOV_KIT_TEST_ALLOCATOR
void *kov_kitTestCalloc(size_t count, size_t size);
void kov_kitTestFree(void *block);
#define KOV_KIT_CALLOC(count, size) kov_kitTestCalloc((count), (size))
#define KOV_KIT_FREE(block) kov_kitTestFree(block)
#else
#define KOV_KIT_CALLOC(count, size) calloc((count), (size))
#define KOV_KIT_FREE(block) free(block)
#endif

/* The kit's two locks. Both exist from load on and are never destroyed: the worker thread waits
 * on the queue's until the process ends, and nothing may tear it down under it. */
enum { KOV_KIT_LOCK_BLOCKS = 0, KOV_KIT_LOCK_QUEUE = 1 };
void kov_kitLock(int lock);
void kov_kitUnlock(int lock);

/* With the queue's lock held: sleeps until kov_kitWakeQueue or until the monotonic clock reaches
 * `dueMs` (0: no limit), and returns with the lock held again. May return early. */
void kov_kitWaitQueue(uint64_t dueMs);
void kov_kitWakeQueue(void);

/* Milliseconds of a clock that never goes back, never 0. */
uint64_t kov_kitNowMs(void);

/* Starts `run` on a new detached thread; 1 when it runs. */
int kov_kitStartThread(void (*run)(void));

/* The local date and time now with the zone's offset from UTC in effect, as the descriptor's
 * 28 characters "YYYY-MM-DDTHH:MM:SS.mmm+hhmm". 1 on success. */
int kov_kitLocalTimestamp(char stamp[KOV_TIMESTAMP_SIZE]);

#ifdef __cplusplus
}
#endif

#endif /* KOV_KIT_INTERNAL_H */

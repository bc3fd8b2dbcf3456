/* The worker thread: runs queued work in order of due time. kov_Receive can return as soon as an
 * answer is queued, so callers never wait for the provider inside kov_Send. */
#include "kov_kit_internal.h"

typedef struct KovJob {
    struct KovJob *next;
    uint64_t dueMs;
    KovWork work;
    void *context;
} KovJob;

/* Guarded by KOV_KIT_LOCK_QUEUE. Sorted by due time; equal times keep the order queued. The
 * thread, once started, runs until the process ends (the library is pinned first), so none of
 * this is ever torn down. */
static KovJob *gHead = NULL;
static KovJob *gTail = NULL;
static int gStarted = 0;

static void runJobs(void)
{
    kov_kitLock(KOV_KIT_LOCK_QUEUE);
    for (;;) {
        KovJob job;
        if (gHead == NULL) {
            kov_kitWaitQueue(0);
            continue;
        }
        if (gHead->dueMs > kov_kitNowMs()) {
            kov_kitWaitQueue(gHead->dueMs);
            continue;
        }
        job = *gHead;
        KOV_KIT_FREE(gHead);
        gHead = job.next;
        if (gHead == NULL)
            gTail = NULL;
        /* Work delivers confirms, and callbacks may queue again: never run it holding the lock. */
        kov_kitUnlock(KOV_KIT_LOCK_QUEUE);
        job.work(job.context);
        kov_kitLock(KOV_KIT_LOCK_QUEUE);
    }
}

/* Called with the lock held. The broker unloads a provider on reload, on removal and at process
 * exit without notice; the worker would then run code that is no longer mapped. So the library
 * keeps itself loaded for the rest of the process before the worker starts. */
static int startedWorker(void)
{
    if (gStarted)
        return 1;
    if (!kov_keepLoaded() || !kov_kitStartThread(runJobs))
        return 0;
    gStarted = 1;
    return 1;
}

static void insertInOrder(KovJob *job)
{
    KovJob **at;
    if (gTail == NULL || gTail->dueMs <= job->dueMs) { /* the usual case: due last */
        if (gTail == NULL)
            gHead = job;
        else
            gTail->next = job;
        gTail = job;
        return;
    }
    for (at = &gHead; (*at)->dueMs <= job->dueMs; at = &(*at)->next) {
    }
    job->next = *at;
    *at = job;
}

int kov_queueWork(KovWork work, void *context, uint32_t delayMs)
{
    KovJob *job;
    if (work == NULL)
        return KOV_KIT_BAD_ARGUMENT;
    job = (KovJob *)KOV_KIT_CALLOC(1, sizeof *job);
    if (job == NULL)
        return KOV_KIT_NO_MEMORY;
    job->work = work;
    job->context = context;
    job->dueMs = kov_kitNowMs() + delayMs;
    kov_kitLock(KOV_KIT_LOCK_QUEUE);
    if (!startedWorker()) {
        kov_kitUnlock(KOV_KIT_LOCK_QUEUE);
        KOV_KIT_FREE(job);
        return KOV_KIT_NO_WORKER;
    }
    insertInOrder(job);
    kov_kitWakeQueue();
    kov_kitUnlock(KOV_KIT_LOCK_QUEUE);
    return KOV_KIT_OK;
}

static void deliverQueued(void *confirm) { kov_deliver((BrokerMessage *)confirm); }

int kov_queueConfirm(BrokerMessage *confirm, uint32_t delayMs)
{
    if (confirm == NULL)
        return KOV_KIT_BAD_ARGUMENT;
    return kov_queueWork(deliverQueued, confirm, delayMs);
}

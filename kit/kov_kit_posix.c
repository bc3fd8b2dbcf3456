/* The provider kit's platform part for POSIX systems: pthread locks and condition variable, the
 * monotonic clock, localtime_r. Valid C99 and C++. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE /* tm_gmtoff */
#endif
#include "kov_kit_internal.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

/* Statically initialised and never destroyed: nothing runs at unload that a waiting worker could
 * trip over. */
static pthread_mutex_t gLocks[2] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};
static pthread_cond_t gWake;
static pthread_once_t gWakeOnce = PTHREAD_ONCE_INIT;
static int gWakeMonotonic = 0;

/* The condition variable times out by the monotonic clock where it can, so that a change of the
 * wall clock neither wakes the worker early nor holds answers back. */
static void initialiseWake(void)
{
    pthread_condattr_t attributes;
    if (pthread_condattr_init(&attributes) == 0) {
        gWakeMonotonic = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0;
        if (pthread_cond_init(&gWake, &attributes) == 0) {
            pthread_condattr_destroy(&attributes);
            return;
        }
        pthread_condattr_destroy(&attributes);
    }
    gWakeMonotonic = 0;
    pthread_cond_init(&gWake, NULL);
}

void kov_kitLock(int lock) { pthread_mutex_lock(&gLocks[lock]); }

void kov_kitUnlock(int lock) { pthread_mutex_unlock(&gLocks[lock]); }

uint64_t kov_kitNowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000 + 1;
}

void kov_kitWaitQueue(uint64_t dueMs)
{
    struct timespec until;
    uint64_t waitMs;
    pthread_once(&gWakeOnce, initialiseWake);
    if (dueMs == 0) {
        pthread_cond_wait(&gWake, &gLocks[KOV_KIT_LOCK_QUEUE]);
        return;
    }
    waitMs = kov_kitNowMs();
    waitMs = dueMs > waitMs ? dueMs - waitMs : 0;
    clock_gettime(gWakeMonotonic ? CLOCK_MONOTONIC : CLOCK_REALTIME, &until);
    until.tv_sec += (time_t)(waitMs / 1000);
    until.tv_nsec += (long)(waitMs % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(&gWake, &gLocks[KOV_KIT_LOCK_QUEUE], &until);
}

void kov_kitWakeQueue(void)
{
    pthread_once(&gWakeOnce, initialiseWake);
    pthread_cond_signal(&gWake);
}

static void *runThread(void *run)
{
    void (*body)(void);
    memcpy(&body, &run, sizeof body); /* a function pointer travelled as void * */
    body();
    return NULL;
}

int kov_kitStartThread(void (*run)(void))
{
    pthread_t thread;
    void *argument;
    memcpy(&argument, &run, sizeof argument);
    if (pthread_create(&thread, NULL, runThread, argument) != 0)
        return 0;
    pthread_detach(thread);
    return 1;
}

int kov_kitLocalTimestamp(char stamp[KOV_TIMESTAMP_SIZE])
{
    struct timespec now;
    struct tm local;
    time_t seconds;
    long offset;
    char text[64];
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return 0;
    seconds = now.tv_sec;
    if (localtime_r(&seconds, &local) == NULL)
        return 0;
    offset = local.tm_gmtoff / 60; /* minutes east of UTC, daylight saving time included */
    if (snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%c%02ld%02ld",
                 local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                 local.tm_min, local.tm_sec, (long)(now.tv_nsec / 1000000),
                 offset < 0 ? '-' : '+', (offset < 0 ? -offset : offset) / 60,
                 (offset < 0 ? -offset : offset) % 60) != (int)KOV_TIMESTAMP_SIZE)
        return 0;
    memcpy(stamp, text, KOV_TIMESTAMP_SIZE);
    return 1;
}

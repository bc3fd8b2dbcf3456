/* The provider kit's platform part for Windows: slim reader/writer locks and a condition
 * variable, GetTickCount64, the local time with the bias in effect. Valid C99 and C++. */
#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0600
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600 /* Vista: SRW locks, condition variables, GetTickCount64 */
#endif
#include "kov_kit_internal.h"

#include <windows.h>

#include <process.h>
#include <stdio.h>
#include <string.h>

/* Statically initialised and never destroyed: nothing runs at unload that a waiting worker could
 * trip over. */
static SRWLOCK gLocks[2] = {SRWLOCK_INIT, SRWLOCK_INIT};
static CONDITION_VARIABLE gWake = CONDITION_VARIABLE_INIT;

void kov_kitLock(int lock) { AcquireSRWLockExclusive(&gLocks[lock]); }

void kov_kitUnlock(int lock) { ReleaseSRWLockExclusive(&gLocks[lock]); }

uint64_t kov_kitNowMs(void) { return (uint64_t)GetTickCount64() + 1; }

void kov_kitWaitQueue(uint64_t dueMs)
{
    DWORD waitMs = INFINITE;
    if (dueMs != 0) {
        const uint64_t now = kov_kitNowMs();
        const uint64_t left = dueMs > now ? dueMs - now : 0;
        waitMs = left >= INFINITE ? INFINITE - 1 : (DWORD)left;
    }
    SleepConditionVariableSRW(&gWake, &gLocks[KOV_KIT_LOCK_QUEUE], waitMs, 0);
}

void kov_kitWakeQueue(void) { WakeConditionVariable(&gWake); }

static unsigned __stdcall runThread(void *run)
{
    void (*body)(void);
    memcpy(&body, &run, sizeof body); /* a function pointer travelled as void * */
    body();
    return 0;
}

int kov_kitStartThread(void (*run)(void))
{
    void *argument;
    uintptr_t thread;
    memcpy(&argument, &run, sizeof argument);
    /* _beginthreadex, not CreateThread: the thread uses the C runtime (calloc, free). */
    thread = _beginthreadex(NULL, 0, runThread, argument, 0, NULL);
    if (thread == 0)
        return 0;
    CloseHandle((HANDLE)thread);
    return 1;
}

int kov_kitLocalTimestamp(char stamp[KOV_TIMESTAMP_SIZE])
{
    FILETIME utc, local;
    SYSTEMTIME fields;
    ULARGE_INTEGER u, l;
    long offset;
    char text[64];
    /* One instant in both forms, so that the offset is the one in effect for it. */
    GetSystemTimeAsFileTime(&utc);
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &fields))
        return 0;
    u.LowPart = utc.dwLowDateTime;
    u.HighPart = utc.dwHighDateTime;
    l.LowPart = local.dwLowDateTime;
    l.HighPart = local.dwHighDateTime;
    /* 100 ns units; minutes east of UTC, rounded to the minute. */
    offset = l.QuadPart >= u.QuadPart ? (long)((l.QuadPart - u.QuadPart + 300000000) / 600000000)
                                      : -(long)((u.QuadPart - l.QuadPart + 300000000) / 600000000);
    if (snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03u%c%02ld%02ld",
                 (unsigned)fields.wYear, (unsigned)fields.wMonth, (unsigned)fields.wDay,
                 (unsigned)fields.wHour, (unsigned)fields.wMinute, (unsigned)fields.wSecond,
                 (unsigned)fields.wMilliseconds, offset < 0 ? '-' : '+',
                 (offset < 0 ? -offset : offset) / 60,
                 (offset < 0 ? -offset : offset) % 60) != (int)KOV_TIMESTAMP_SIZE)
        return 0;
    memcpy(stamp, text, KOV_TIMESTAMP_SIZE);
    return 1;
}

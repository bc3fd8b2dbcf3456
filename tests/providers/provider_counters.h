/*
 * What a test provider library has seen, exported as kov_test_Counters so a test can check how
 * the broker used the library. A test that loads the library by the same path as the broker gets
 * the same instance, and its own reference keeps the counters readable after the broker lets go.
 *
 * The library updates the fields atomically; a test reads them with an atomic load when a
 * provider thread may still be running (kov_test_threaded).
 */
#ifndef KOV_TEST_PROVIDER_COUNTERS_H
#define KOV_TEST_PROVIDER_COUNTERS_H

#include <kov/kov_broker.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KovProviderCounters {
    int32_t infoCalls;        /* kov_GetSubSystemInfo calls, null answers included */
    int32_t infoReturned;     /* information blocks handed back through kov_DeleteReceive */
    int32_t receives;         /* kov_Receive calls */
    int32_t confirmsBuilt;    /* confirms allocated (null deliveries are not confirms) */
    int32_t confirmsReleased; /* confirms freed: through kov_DeleteReceive, or by the library
                                 itself when the callback returned 0 */
    int32_t pendingConfirms;  /* taken requests whose callback has not yet returned */
    int32_t refusals;         /* kov_Receive calls answered nonzero */
} KovProviderCounters;

typedef KovProviderCounters *(KOV_CALL *KovTestCountersFn)(void);

#define KOV_TEST_COUNTERS_EXPORT "kov_test_Counters"

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KOV_TEST_PROVIDER_COUNTERS_H */

// Lets a test provider call back into the broker. The test puts the addresses of kov_Send and
// kov_SendSync into the environment before the library is loaded (KOV_TEST_BROKER_SEND and
// KOV_TEST_BROKER_SEND_SYNC, as hexadecimal numbers), so that even the library's initialisation
// can send; unit tests pass the core's own exports, integration tests the module's.
#ifndef KOV_TEST_BROKER_ACCESS_H
#define KOV_TEST_BROKER_ACCESS_H

#include <kov/kov_broker.h>

namespace kit {

// Who answered a GetLanguage request sent to handle 0 from inside the library.
enum Outcome : int32_t {
    NotAsked = 0,       // no broker address in the environment
    BrokerAnswered = 1, // the broker provider's own reply: status 0 and the tag "en|US"
    WrongAnswer = 2,    // a confirm that is not that reply (another provider took the request)
    NoAnswer = 3,       // no confirm, or a null one
};

// Sends GetLanguage to handle 0 through kov_Send (releasing the reply) and says who answered.
int32_t askBrokerLanguage();
// The same through kov_SendSync.
int32_t askBrokerLanguageSync();

} // namespace kit

#endif // KOV_TEST_BROKER_ACCESS_H

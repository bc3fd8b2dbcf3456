// Per-thread key: a pthread key, whose destructor runs when a thread that set a value ends.
#include "platform/platform.h"

#include <new>
#include <pthread.h>

namespace kov::platform {

bool createThreadKey(ThreadKey* key, void (*atExit)(void*)) {
    auto* created = new (std::nothrow) pthread_key_t;
    if (created == nullptr) return false;
    if (pthread_key_create(created, atExit) != 0) {
        delete created;
        return false;
    }
    *key = created;
    return true;
}

void setThreadValue(ThreadKey key, void* value) {
    pthread_setspecific(*static_cast<pthread_key_t*>(key), value);
}

void deleteThreadKey(ThreadKey key) {
    auto* k = static_cast<pthread_key_t*>(key);
    pthread_key_delete(*k);
    delete k;
}

} // namespace kov::platform

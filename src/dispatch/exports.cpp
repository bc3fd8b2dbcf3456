// The module's three exports. Nothing may escape them as an exception: the callers are C code.
// The one exception is a thread's cancellation (a forced unwind), which must pass through to
// end the thread; everything on the way undoes itself.
#include "dispatch/send.h"

#include <cxxabi.h>
#include <exception>

extern "C" {

KOV_API int32_t KOV_CALL kov_Send(BrokerMessage* request) {
    try {
        return kov::dispatch::send(request);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return kov::dispatch::kRefused;
    }
}

KOV_API int32_t KOV_CALL kov_SendSync(BrokerMessage* request, BrokerMessage** confirmOut) {
    try {
        return kov::dispatch::sendSync(request, confirmOut);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return 0;
    }
}

KOV_API int32_t KOV_CALL kov_DeleteConfirm(BrokerMessage* confirm) {
    try {
        return kov::dispatch::deleteConfirm(confirm);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return KOV_STATUS_UNKNOWN_PROVIDER;
    }
}

} // extern "C"

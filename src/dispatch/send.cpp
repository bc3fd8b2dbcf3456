// kov_Send and kov_DeleteConfirm, the module's exports, with the routines tests call. The bodies
// are one function with each export: every request pays for every call and frame on its way.
#include "dispatch/send.h"

#include "dispatch/confirms.h"
#include "dispatch/export_boundary.h"
#include "message/broker_confirms.h"
#include "observe/published_region.h"
#include "registry/provider_list.h"
#include "runtime/guard.h"
#include "runtime/process.h"
#include "runtime/statistics.h"

namespace kov::dispatch {
namespace {

// A usable request, its thread inside its guard, to its provider.
[[gnu::always_inline]] inline std::int32_t route(const runtime::Guard& guard, BrokerMessage* request) {
    request->status = KOV_STATUS_OK;
    runtime::countCall(guard.slot(), runtime::Counter::SendCalls);
    const registry::ProviderRecord* const provider =
        registry::findProvider(guard, request->provider);
    if (KOV_LIKELY(provider != nullptr)) {
        // The provider's counters: sent before the hand-over, finished after it, so that a
        // reader sees the request in flight meanwhile.
        unsigned char* const shard = registry::shardOf(provider, guard.slot());
        observe::countShared(shard + observe::kAsyncSent * 4);
        const std::int32_t result = provider->receiveEntry(request);
        observe::countShared(shard + observe::kAsyncFinished * 4);
        runtime::countCall(guard.slot(), runtime::Counter::SendDelivered);
        return result;
    }
    const std::int32_t result = sendErrorConfirm(request, notFoundStatus(request->provider));
    runtime::countCall(guard.slot(), runtime::Counter::SendFailed);
    return result;
}

// The first request (it loads the providers) and traced ones. Under a guard of its own, nested
// in the caller's: a guard handed to a call that is not inlined would keep the straight path
// from holding its members in registers.
[[gnu::noinline]] std::int32_t routeOffPath(BrokerMessage* request) {
    runtime::ensureLoaded();
    const runtime::Guard guard;
    if ((observe::runState() & observe::kTracing) == 0) return route(guard, request);
    const observe::TracedCall call = observe::beginTrace(request, 1);
    const std::int32_t result = route(guard, request);
    observe::endTrace(guard.slot(), runtime::threadToken(), call, request->status, 0);
    return result;
}

[[gnu::always_inline]] inline std::int32_t sendRequest(BrokerMessage* request) {
    // Entered first and left last: whatever the call reaches stays alive until it returns, the
    // provider's code included, whatever a reload or removal on another thread does meanwhile.
    const runtime::Guard guard;
    if (KOV_UNLIKELY(!guard)) return refuseUnguarded(request);
    if (requestUnusable(request, true)) return kRefused;
    // One word says both that the providers are loaded and that nobody traces.
    if (KOV_UNLIKELY(!observe::straightPath())) return routeOffPath(request);
    return route(guard, request);
}

[[gnu::always_inline]] inline std::int32_t releaseConfirm(BrokerMessage* confirm) {
    if (confirm == nullptr) return KOV_STATUS_UNKNOWN_PROVIDER;
    const runtime::Guard guard;
    if (KOV_UNLIKELY(!guard)) return KOV_STATUS_UNKNOWN_PROVIDER;
    // Broker-built confirms go back to the broker whatever provider they name: a provider
    // library must never be handed a block it did not build.
    if (message::releaseBrokerConfirm(confirm)) return 0;
    const registry::ProviderRecord* provider = registry::findProvider(guard, confirm->provider);
    if (KOV_UNLIKELY(provider == nullptr)) return KOV_STATUS_UNKNOWN_PROVIDER;
    return provider->deleteEntry(confirm);
}

} // namespace

std::int32_t send(BrokerMessage* request) { return sendRequest(request); }

std::int32_t deleteConfirm(BrokerMessage* confirm) { return releaseConfirm(confirm); }

} // namespace kov::dispatch

extern "C" {

KOV_API int32_t KOV_CALL kov_Send(BrokerMessage* request) {
    return kov::dispatch::atBoundary([request] { return kov::dispatch::sendRequest(request); },
                                     kov::dispatch::kRefused);
}

KOV_API int32_t KOV_CALL kov_DeleteConfirm(BrokerMessage* confirm) {
    return kov::dispatch::atBoundary([confirm] { return kov::dispatch::releaseConfirm(confirm); },
                                     KOV_STATUS_UNKNOWN_PROVIDER);
}

} // extern "C"

#include "dispatch/send.h"

#include "dispatch/confirms.h"
#include "message/broker_confirms.h"
#include "registry/provider_list.h"
#include "runtime/guard.h"
#include "runtime/process.h"
#include "runtime/statistics.h"

namespace kov::dispatch {

std::int32_t send(BrokerMessage* request) {
    // Entered first and left last: whatever the call reaches stays alive until it returns, the
    // provider's code included, whatever a reload or removal on another thread does meanwhile.
    const runtime::Guard guard;
    if (!guard) return refuseUnguarded(request);
    if (requestUnusable(request, true)) return kRefused;
    runtime::ensureLoaded();
    request->status = KOV_STATUS_OK;
    runtime::countCall(runtime::Counter::SendCalls);
    if (const registry::ProviderRecord* provider = registry::findProvider(guard, request->provider)) {
        const std::int32_t result = provider->receiveEntry(request);
        runtime::countCall(runtime::Counter::SendDelivered);
        return result;
    }
    const std::int32_t result = sendErrorConfirm(request, notFoundStatus(request->provider));
    runtime::countCall(runtime::Counter::SendFailed);
    return result;
}

std::int32_t deleteConfirm(BrokerMessage* confirm) {
    if (confirm == nullptr) return KOV_STATUS_UNKNOWN_PROVIDER;
    const runtime::Guard guard;
    if (!guard) return KOV_STATUS_UNKNOWN_PROVIDER;
    // Broker-built confirms go back to the broker whatever provider they name: a provider
    // library must never be handed a block it did not build.
    if (message::releaseBrokerConfirm(confirm)) return 0;
    const registry::ProviderRecord* provider = registry::findProvider(guard, confirm->provider);
    if (provider == nullptr) return KOV_STATUS_UNKNOWN_PROVIDER;
    return provider->deleteEntry(confirm);
}

} // namespace kov::dispatch

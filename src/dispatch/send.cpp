#include "dispatch/send.h"

#include "dispatch/confirms.h"
#include "message/broker_confirms.h"
#include "registry/provider_list.h"
#include "runtime/process.h"
#include "runtime/statistics.h"

namespace kov::dispatch {

std::int32_t send(BrokerMessage* request) {
    if (!runtime::attached() || requestUnusable(request, true)) return kRefused;
    runtime::ensureLoaded();
    request->status = KOV_STATUS_OK;
    runtime::countCall(runtime::Counter::SendCalls);
    // The pin keeps the provider's code loaded while its receive entry runs, even if a reload or
    // removal unlinks it meanwhile.
    const registry::ProviderRef provider = registry::findProvider(request->provider);
    // Checked again after the pin: a detach that began meanwhile either sees this send or is
    // seen here.
    if (!runtime::attached()) return kRefused;
    if (provider) {
        const std::int32_t result = provider->receiveEntry(request);
        runtime::countCall(runtime::Counter::SendDelivered);
        return result;
    }
    const std::int32_t result =
        sendErrorConfirm(request, notFoundStatus(provider.pinned(), request->provider));
    runtime::countCall(runtime::Counter::SendFailed);
    return result;
}

std::int32_t deleteConfirm(BrokerMessage* confirm) {
    if (confirm == nullptr || !runtime::attached()) return KOV_STATUS_UNKNOWN_PROVIDER;
    // Broker-built confirms go back to the broker whatever provider they name: a provider
    // library must never be handed a block it did not build.
    if (message::releaseBrokerConfirm(confirm)) return 0;
    const registry::ProviderRef provider = registry::findProvider(confirm->provider);
    if (!provider || !runtime::attached()) return KOV_STATUS_UNKNOWN_PROVIDER;
    return provider->deleteEntry(confirm);
}

} // namespace kov::dispatch

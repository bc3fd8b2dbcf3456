#include "dispatch/confirms.h"

#include "message/broker_confirms.h"

#include <cstddef>

namespace kov::dispatch {

std::int32_t deliverConfirm(BrokerMessage* request, BrokerMessage* confirm, std::uint32_t code) {
    if (confirm != nullptr) confirm->status = code;
    const std::int32_t kept = request->callback(confirm);
    if (kept != 0 || confirm == nullptr) return kept;
    message::releaseBrokerConfirm(confirm);
    return 0;
}

std::int32_t sendErrorConfirm(BrokerMessage* request, std::uint32_t code) {
    BrokerMessage* confirm = message::newBrokerConfirm(request, 0);
    request->status = code;
    return deliverConfirm(request, confirm, code);
}

bool requestUnusable(BrokerMessage* request, bool needsCallback) {
    if (request == nullptr) return true;
    const bool shortHeader = request->headerLength < KOV_HEADER_SIZE;
    if (!shortHeader && (!needsCallback || request->callback != nullptr)) return false;
    if (request->headerLength >= offsetof(BrokerMessage, status) + sizeof request->status)
        request->status = KOV_STATUS_BAD_VERSION;
    return true;
}

} // namespace kov::dispatch

// Broker function 4: the request is read only inside the message, then handed to registration.
#include "brokerprovider/broker_provider.h"

#include "dispatch/confirms.h"
#include "message/broker_confirms.h"
#include "message/bytes.h"
#include "registry/registration.h"

#include <cstring>
#include <new>

namespace kov::brokerprovider {
namespace {

constexpr std::uint32_t kRequestFieldsSize = sizeof(RegisterProviderRequest); // 28

// Longest text that can fit the 299 ANSI bytes of a registry name: one byte per unit at best.
constexpr std::uint32_t kMaxUnits = registry::kNameBufferBytes - 1;

// Copies the text of the StringItem at `offset` of the payload, terminator included, into `out`.
// False when the item's head or its text up to the terminator leaves the payload, or the text is
// too long to be a registry name.
bool copyText(const std::uint8_t* payload, std::uint32_t payloadLength, std::uint32_t offset,
              char16_t (&out)[registry::kNameBufferBytes]) {
    if (offset > payloadLength || payloadLength - offset < 4) return false;
    const std::uint32_t textStart = offset + 4;
    const std::uint32_t unitsInside = (payloadLength - textStart) / 2;
    for (std::uint32_t i = 0; i < unitsInside && i <= kMaxUnits; ++i) {
        // Items are not aligned: copy unit by unit.
        std::memcpy(&out[i], payload + textStart + 2 * i, 2);
        if (out[i] == 0) return true;
    }
    return false;
}

std::uint32_t registerFromRequest(const BrokerMessage* request) {
    if (request->totalLength < request->headerLength) return KOV_STATUS_REGISTRY_ERROR;
    const std::uint32_t payloadLength = request->totalLength - request->headerLength;
    if (payloadLength < kRequestFieldsSize) return KOV_STATUS_REGISTRY_ERROR;
    const auto* payload = reinterpret_cast<const std::uint8_t*>(request) + request->headerLength;
    const std::uint32_t operation = message::readU32(payload, 16);
    char16_t keyName[registry::kNameBufferBytes];
    char16_t path[registry::kNameBufferBytes];
    if (!copyText(payload, payloadLength, message::readU32(payload, 20), keyName))
        return KOV_STATUS_REGISTRY_ERROR;
    if (!copyText(payload, payloadLength, message::readU32(payload, 24), path))
        return operation == KOV_REGISTER ? KOV_STATUS_PROVIDER_LOAD_FAILED
                                         : KOV_STATUS_DEREGISTER_FAILED;
    return registry::updateRegistration(keyName, path, operation);
}

} // namespace

void handleRegisterProvider(BrokerMessage* request) {
    // Allocated first: without a reply block nothing is touched.
    BrokerMessage* confirm = message::newBrokerConfirm(request, 0);
    if (confirm == nullptr) {
        request->status = KOV_STATUS_NO_MEMORY;
        dispatch::deliverConfirm(request, nullptr, KOV_STATUS_NO_MEMORY);
        return;
    }
    // The reply block is the caller's whatever happens below: nothing may skip its delivery.
    std::uint32_t status = KOV_STATUS_NO_MEMORY;
    try {
        status = registerFromRequest(request);
    } catch (const std::bad_alloc&) {
    }
    request->status = status;
    dispatch::deliverConfirm(request, confirm, status);
}

} // namespace kov::brokerprovider

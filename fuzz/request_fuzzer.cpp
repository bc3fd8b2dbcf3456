// Arbitrary requests to the broker provider (handle 0) through both send functions: every broker
// and common function code, RegisterProvider payloads with arbitrary offsets and strings (into a
// scratch registry), CheckLanguage payloads. The request ends right before an inaccessible page.
//
// Input: byte 0 picks the send function and the set, byte 1 the function code, bytes 2..5 the
// headerLength, bytes 6..9 the totalLength (cut to the request's real size), the rest is the
// request from byte 12 of its header on.
#include "guarded_bytes.h"

#include "dispatch/send.h"
#include "platform/platform.h"
#include "runtime/process.h"

#include <kov/kov_broker.h>

#include <cstdint>
#include <cstring>

namespace {

std::int32_t KOV_CALL dropConfirm(BrokerMessage* confirm) {
    (void)confirm; // 0: the broker frees it
    return 0;
}

bool attach() {
    kov::platform::testing::useScratchRegistry("request_fuzzer");
    return kov::runtime::processAttach(nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool attached = attach();
    if (!attached || size < 10 || size > 1u << 16) return 0;
    const std::uint8_t mode = data[0];
    std::uint32_t headerLength = 0, totalLength = 0;
    std::memcpy(&headerLength, data + 2, 4);
    std::memcpy(&totalLength, data + 6, 4);
    const std::size_t body = size - 10;
    // At least a header, and a multiple of 4 so the request starts aligned as a caller's does.
    std::size_t messageSize = 12 + body < KOV_HEADER_SIZE ? KOV_HEADER_SIZE : 12 + body;
    messageSize = (messageSize + 3) & ~std::size_t{3};
    if (totalLength > messageSize) totalLength = static_cast<std::uint32_t>(messageSize);

    kov::fuzz::GuardedBytes bytes(messageSize);
    std::memset(bytes.data(), 0, messageSize);
    std::memcpy(bytes.data() + 12, data + 10, body);
    auto* request = reinterpret_cast<BrokerMessage*>(bytes.data());
    request->totalLength = totalLength;
    request->formatMajor = 1;
    request->headerLength = headerLength;
    request->provider = 0;
    request->functionSet = (mode & 1) != 0 ? KOV_COMMON_FUNCTION_SET : KOV_BROKER_FUNCTION_SET;
    if ((mode & 4) == 0) { // mostly version 1.0, so the functions themselves are reached
        request->setMajor = 1;
        request->setMinor = 0;
    }
    request->functionCode = data[1] % 8;
    // Reload unloads the providers: left to one input in 16, it would slow every run down.
    if (request->functionCode == KOV_FN_RELOAD && (mode & 0xF0) != 0) request->functionCode = 0;
    request->callback = dropConfirm;

    if ((mode & 2) != 0) {
        BrokerMessage* confirm = nullptr;
        if (kov::dispatch::sendSync(request, &confirm) != 0 && confirm != nullptr)
            kov::dispatch::deleteConfirm(confirm);
    } else {
        kov::dispatch::send(request);
    }
    return 0;
}

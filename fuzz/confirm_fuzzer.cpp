// Arbitrary confirms from a provider to synchronous callers: the completion routine's header
// check, the hand-over to the waiting call, and the broker's own answer to a malformed confirm. A
// provider of this program's own answers every kov_SendSync with the input as its confirm, which
// ends right before an inaccessible page.
//
// Input: byte 0 says what the provider does besides (bit 0: the confirm keeps the input's
// callbackData instead of the request's, so it may name another call or none, and the provider
// then refuses the request, since the call may have no confirm at all; bit 1: a null first; bit 2:
// the confirm a second time; bit 3: it refuses the request after confirming); the
// rest is the confirm's bytes, a header of 44 bytes at least (the provider's promise the broker
// reads a token from), its other fields the request's where bit 0 is clear.
#include "guarded_bytes.h"

#include "dispatch/send.h"
#include "platform/platform.h"
#include "registry/provider_list.h"
#include "runtime/broker_lock.h"
#include "runtime/process.h"

#include <kov/kov_broker.h>

#include <cstdint>
#include <cstring>

namespace {

struct Delivery {
    const std::uint8_t* bytes;
    std::size_t size;
    std::uint8_t mode;
    kov::fuzz::GuardedBytes* confirm;
};
Delivery next{};

std::int32_t KOV_CALL receive(BrokerMessage* request) {
    BrokerMessage* const confirm = reinterpret_cast<BrokerMessage*>(next.confirm->data());
    std::memcpy(confirm, next.bytes, next.size);
    if ((next.mode & 1) == 0) {
        // A copy of the request's header, as the rules want, but for the lengths under test.
        const std::uint32_t totalLength = confirm->totalLength, headerLength = confirm->headerLength;
        std::memcpy(confirm, request, KOV_HEADER_SIZE);
        confirm->totalLength = totalLength;
        confirm->headerLength = headerLength;
    }
    if ((next.mode & 2) != 0) {
        request->status = KOV_STATUS_NO_MEMORY;
        request->callback(nullptr);
    }
    request->callback(confirm);
    if ((next.mode & 4) != 0) request->callback(confirm);
    return (next.mode & 9) != 0 ? 1 : 0;
}

std::int32_t KOV_CALL release(BrokerMessage*) { return 0; } // the harness owns the bytes

ProviderHandle attach() {
    using namespace kov;
    platform::testing::useScratchRegistry("confirm_fuzzer");
    if (!runtime::processAttach(nullptr)) return 0;
    // The first load lists the broker provider; this program's provider goes after it.
    BrokerMessage list{};
    list.totalLength = list.headerLength = KOV_HEADER_SIZE;
    list.formatMajor = list.setMajor = 1;
    list.functionCode = KOV_FN_GET_STATISTICS;
    BrokerMessage* answer = nullptr;
    dispatch::sendSync(&list, &answer);
    if (answer != nullptr) dispatch::deleteConfirm(answer);
    registry::ProviderRecord* record = registry::newProviderRecord(0);
    if (record == nullptr) return 0;
    record->receiveEntry = receive;
    record->deleteEntry = release;
    registry::ListChange change;
    if (!change.prepareAppended(record)) return 0;
    change.publish();
    return record->handle;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const ProviderHandle provider = attach();
    if (provider == 0 || size < 1 + KOV_HEADER_SIZE || size > 1u << 16) return 0;
    // 4-aligned, as a provider's allocation is; the padding is zero and lies inside the block.
    kov::fuzz::GuardedBytes confirm((size - 1 + 3) & ~std::size_t{3});
    std::memset(confirm.data(), 0, confirm.size());
    next = Delivery{data + 1, size - 1, data[0], &confirm};

    BrokerMessage request{};
    request.totalLength = request.headerLength = KOV_HEADER_SIZE;
    request.formatMajor = request.setMajor = 1;
    request.provider = provider;
    BrokerMessage* answer = nullptr;
    kov::dispatch::sendSync(&request, &answer);
    if (answer != nullptr) {
        // Whatever reached the caller has a header it can read within its lengths.
        if (answer->headerLength < KOV_HEADER_SIZE || answer->headerLength > answer->totalLength)
            __builtin_trap();
        kov::dispatch::deleteConfirm(answer);
    }
    return 0;
}

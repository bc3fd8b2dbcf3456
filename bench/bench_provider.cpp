// The provider the benchmarks measure against, as cheap as a real provider gets: it answers
// every request on the caller's thread before kov_Receive returns, with a header-only confirm
// (status 0) from malloc. Built once per copy (kov_bench_provider_0..3), each copy serving a set
// of its own (KOV_BENCH_PROVIDER_SET), so that a benchmark finds each copy's handle in the
// broker's list. Uses only the public header, as any provider author would.
#include <kov/kov_broker.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#ifndef KOV_BENCH_PROVIDER_SET
#error "KOV_BENCH_PROVIDER_SET must be defined by the build"
#endif

namespace {

constexpr char16_t kProduct[] = u"KOV benchmark provider";
constexpr char kTimestamp[] = "2026-01-01T00:00:00.000+0000";

// The information block as one record: the header, the payload with its one set entry, then the
// product's name, the only string item (count with the terminator, then the text).
struct InfoBlock {
    BrokerMessage header;
    SubsystemInfoPayload payload;
    uint32_t productCount;
    char16_t product[sizeof kProduct / sizeof kProduct[0]];
};
static_assert(offsetof(InfoBlock, payload) == KOV_HEADER_SIZE, "the payload follows the header");
static_assert(offsetof(InfoBlock, productCount) == KOV_HEADER_SIZE + 92,
              "the item follows the one set entry");

} // namespace

extern "C" {

// Every confirm reaches its callback through this one routine, so that the instruction count
// can tell the provider's own work (not counted) from the callback's: the broker's own when it
// is kov_SendSync's completion. Exported so that the count can measure it alone and take its few
// instructions off.
[[gnu::noinline]] KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_bench_CallBack(ConfirmCallback callback,
                                                                         BrokerMessage *confirm)
{
    return callback(confirm);
}

KOV_PROVIDER_EXPORT BrokerMessage *KOV_CALL kov_GetSubSystemInfo(void)
{
    auto *block = static_cast<InfoBlock *>(std::calloc(1, sizeof(InfoBlock)));
    if (block == nullptr)
        return nullptr;
    block->header.totalLength = sizeof(InfoBlock);
    block->header.formatMajor = 1;
    block->header.headerLength = KOV_HEADER_SIZE;
    SubsystemInfoPayload &payload = block->payload;
    payload.length = sizeof(InfoBlock) - KOV_HEADER_SIZE;
    payload.versionMajor = 1;
    SubsystemDescriptor &descriptor = payload.descriptor;
    descriptor.versionMajor = 1;
    std::memcpy(descriptor.timestamp, kTimestamp, KOV_TIMESTAMP_SIZE);
    descriptor.setCount = 1;
    descriptor.sets[0].functionSet = KOV_BENCH_PROVIDER_SET;
    descriptor.sets[0].setMajor = 1;
    // String offsets in an information block count from the payload's start.
    descriptor.productOffset = offsetof(InfoBlock, productCount) - KOV_HEADER_SIZE;
    block->productCount = sizeof kProduct / sizeof kProduct[0];
    std::memcpy(block->product, kProduct, sizeof kProduct);
    return &block->header;
}

KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_Receive(BrokerMessage *request)
{
    if (request == nullptr || request->callback == nullptr ||
        request->headerLength < KOV_HEADER_SIZE)
        return 1; // nobody to answer, or no whole header to copy
    const ConfirmCallback callback = request->callback;
    auto *confirm = static_cast<BrokerMessage *>(std::malloc(request->headerLength));
    if (confirm == nullptr) {
        request->status = KOV_STATUS_NO_MEMORY;
        kov_bench_CallBack(callback, nullptr);
        return 0;
    }
    std::memcpy(confirm, request, request->headerLength);
    confirm->totalLength = request->headerLength;
    confirm->status = KOV_STATUS_OK;
    request->status = KOV_STATUS_OK;
    if (kov_bench_CallBack(callback, confirm) == 0)
        std::free(confirm);
    return 0;
}

// Confirms and the information block alike came from malloc.
KOV_PROVIDER_EXPORT int32_t KOV_CALL kov_DeleteReceive(BrokerMessage *block)
{
    std::free(block);
    return 0;
}

} // extern "C"

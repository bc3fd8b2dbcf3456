// The broker function set (0): list, broker information, statistics, reload, registration.
#include "brokerprovider/broker_provider.h"

#include "dispatch/confirms.h"
#include "message/bytes.h"
#include "message/reply_records.h"
#include "message/resource_strings.h"
#include "message/timestamp.h"
#include "registry/provider_loading.h"
#include "runtime/guard.h"
#include "runtime/statistics.h"

#include <resources/strings.h>

#include <cstring>

namespace kov::brokerprovider {
namespace {

using message::writeU32;

constexpr std::uint32_t kListFixedSize = 20;
constexpr std::uint32_t kListTrailingZeros = 80;
constexpr std::uint32_t kInfoItemsStart = 68;
constexpr std::uint32_t kInfoSlack = 16; // 84 + strings: the last 4 bytes stay zero

void listSubsystems(BrokerMessage* request) {
    // One published list serves both walks, sizing and copying, so nothing changes in between
    // and no lock is needed: the guard keeps it alive.
    const runtime::Guard guard;
    const registry::ListView list = registry::listedProviders(guard);
    std::uint64_t descriptorBytes = 0;
    for (const registry::ProviderRecord* r : list) descriptorBytes += r->descriptorSize;
    const std::uint64_t payload = kListFixedSize + descriptorBytes + kListTrailingZeros;
    BrokerMessage* confirm =
        payload > UINT32_MAX ? nullptr
                             : message::newBrokerConfirm(request, static_cast<std::uint32_t>(payload));
    if (confirm != nullptr) {
        auto* out = reinterpret_cast<std::uint8_t*>(confirm) + request->headerLength;
        message::writePayloadHead(out, static_cast<std::uint32_t>(payload));
        writeU32(out, 16, list.count);
        std::uint32_t at = kListFixedSize;
        for (std::uint32_t n = 0; n < list.count; ++n) {
            const registry::ProviderRecord* r = list.records[n];
            std::memcpy(out + at, r->descriptor, r->descriptorSize);
            // Each descriptor's first u32 gives the step to the next one; 0 marks the last.
            writeU32(out, at, n + 1 < list.count ? r->descriptorSize : 0);
            at += r->descriptorSize;
        }
    }
    deliverReply(request, confirm);
}

void getBrokerInfo(BrokerMessage* request) {
    const message::ResourceString copyright(KOV_IDS_COPYRIGHT);
    const message::ResourceString maker(KOV_IDS_MAKER);
    const message::ResourceString product(KOV_IDS_PRODUCT);
    const std::uint32_t size =
        kInfoItemsStart + kInfoSlack + copyright.bytes + maker.bytes + product.bytes;
    replyWithPayload(request, size, [&](std::uint8_t* out) {
        message::writePayloadHead(out, size);
        message::writeU16(out, 16, 1);
        message::writeU16(out, 18, 0);
        writeU32(out, 20, 1);
        message::makeTimestamp(reinterpret_cast<char*>(out + 24));
        std::uint32_t running = kInfoItemsStart;
        message::putStringItem(out, running, 52, copyright.text);
        message::putStringItem(out, running, 56, maker.text);
        message::putStringItem(out, running, 64, product.text);
    });
}

void getStatistics(BrokerMessage* request) {
    runtime::computeTotals();
    // The copy is taken after the reply block exists, so it counts that block too.
    replyWithPayload(request, sizeof(StatisticsRecord), [](std::uint8_t* out) {
        StatisticsRecord record;
        runtime::copyStatistics(&record, dispatch::waitingSyncCalls());
        std::memcpy(out, &record, sizeof record);
    });
}

} // namespace

void handleReload(BrokerMessage* request) {
    // Fails with 8 when the registry cannot be read to its end, with 3 without memory for the new
    // list or when sent while this thread is changing the list already (from a library being
    // loaded): the list then stays as it was, and GetLoadReport says why.
    std::uint32_t status = KOV_STATUS_OK;
    registry::reloadProviders(&status);
    dispatch::sendErrorConfirm(request, status);
}

void handleBrokerFunction(BrokerMessage* request) {
    switch (request->functionCode) {
    case KOV_FN_LIST_SUBSYSTEMS: return listSubsystems(request);
    case KOV_FN_GET_BROKER_INFO: return getBrokerInfo(request);
    case KOV_FN_GET_STATISTICS: return getStatistics(request);
    case KOV_FN_RELOAD: return handleReload(request);
    case KOV_FN_REGISTER_PROVIDER: return handleRegisterProvider(request);
    case KOV_FN_GET_LOAD_REPORT: return handleLoadReport(request);
    default: dispatch::sendErrorConfirm(request, KOV_STATUS_UNKNOWN_FUNCTION);
    }
}

} // namespace kov::brokerprovider

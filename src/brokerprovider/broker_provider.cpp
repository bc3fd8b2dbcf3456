#include "brokerprovider/broker_provider.h"

#include "dispatch/confirms.h"
#include "message/broker_confirms.h"
#include "message/bytes.h"
#include "message/reply_records.h"
#include "message/resource_strings.h"
#include "message/timestamp.h"
#include "runtime/guard.h"

#include <resources/strings.h>

namespace kov::brokerprovider {
namespace {

using message::writeU32;

constexpr std::uint32_t kFixedDescriptorSize = 100; // fixed fields and the two entries
constexpr std::uint32_t kDescriptorSlack = 20;      // 120 + strings: the last 8 bytes stay zero

void writeEntry(std::uint8_t* descriptor, std::uint32_t at, std::uint32_t distance,
                std::uint32_t functionSet, ProviderHandle handle) {
    writeU32(descriptor, at, distance);
    writeU32(descriptor, at + 4, 1);
    writeU32(descriptor, at + 8, functionSet);
    message::writeU16(descriptor, at + 12, 1);
    message::writeU16(descriptor, at + 14, 0);
    writeU32(descriptor, at + 16, handle);
}

bool versionIs10(std::uint16_t major, std::uint16_t minor) { return major == 1 && minor == 0; }

} // namespace

registry::ProviderRecord* newBrokerProviderRecord() {
    const message::ResourceString copyright(KOV_IDS_COPYRIGHT);
    const message::ResourceString maker(KOV_IDS_MAKER);
    const message::ResourceString product(KOV_IDS_PRODUCT);
    const std::uint32_t size =
        kFixedDescriptorSize + kDescriptorSlack + copyright.bytes + maker.bytes + product.bytes;
    // With room for the list of this record alone: a first load publishes it before anything
    // else, and that must not fail once the record exists.
    registry::ProviderRecord* record = registry::newProviderRecord(size, "", "", true);
    if (record == nullptr) return nullptr;
    record->deleteEntry = deleteEntry;
    record->receiveEntry = receiveEntry;
    record->setCount = kBrokerProviderSets;

    std::uint8_t* d = record->descriptor;
    message::writePayloadHead(d, 0); // a record's copy keeps size 0
    writeU32(d, 8, 1);
    message::makeTimestamp(reinterpret_cast<char*>(d + 12));
    std::uint32_t running = kFixedDescriptorSize;
    message::putStringItem(d, running, message::kDescriptorCopyrightField, copyright.text);
    message::putStringItem(d, running, message::kDescriptorMakerField, maker.text);
    message::putStringItem(d, running, message::kDescriptorProductField, product.text);
    writeU32(d, message::kDescriptorSetCountField, kBrokerProviderSets);
    writeEntry(d, 60, 20, KOV_BROKER_FUNCTION_SET, record->handle);
    writeEntry(d, 80, 0, KOV_COMMON_FUNCTION_SET, record->handle);
    return record;
}

std::int32_t KOV_CALL receiveEntry(BrokerMessage* request) {
    // Nested in the export's own guard; it covers the broker provider's reads of the list even
    // when the entry is called directly.
    const runtime::Guard guard;
    if (!guard) return 1;
    if (!versionIs10(request->formatMajor, request->formatMinor)) {
        dispatch::sendErrorConfirm(request, KOV_STATUS_BAD_VERSION);
    } else if (request->functionSet == KOV_COMMON_FUNCTION_SET) {
        handleCommonFunction(request);
    } else if (request->functionSet != KOV_BROKER_FUNCTION_SET) {
        dispatch::sendErrorConfirm(request, KOV_STATUS_UNKNOWN_SET);
    } else if (!versionIs10(request->setMajor, request->setMinor)) {
        dispatch::sendErrorConfirm(request, KOV_STATUS_BAD_VERSION);
    } else {
        handleBrokerFunction(request);
    }
    // Always taken: the answer, or null, has been delivered by now.
    return 0;
}

void deliverReply(BrokerMessage* request, BrokerMessage* confirm) {
    const std::uint32_t status = confirm != nullptr ? KOV_STATUS_OK : KOV_STATUS_NO_MEMORY;
    request->status = status;
    dispatch::deliverConfirm(request, confirm, status);
}

std::int32_t KOV_CALL deleteEntry(BrokerMessage* confirm) {
    // Only blocks this provider built are released; anything else is left untouched.
    return message::releaseBrokerConfirm(confirm) ? 0 : KOV_STATUS_UNKNOWN_PROVIDER;
}

} // namespace kov::brokerprovider

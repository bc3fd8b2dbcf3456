// Looking at providers the way a caller does: the sets and handles a ListSubsystems reply names,
// and the provider keys of the scratch registry.
#pragma once

#include "support/messages.h"
#include "support/provider_probe.h"

#include "platform/platform.h"

#include <kov/kov_broker.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace kov::test {

// Hands a block back to the library's kov_DeleteReceive directly, past the broker.
std::int32_t releaseThroughLibrary(const LibraryProbe& library, BrokerMessage* block);

// One FunctionSetEntry of a ListSubsystems reply, with the descriptor it belongs to.
struct ListedSet {
    std::uint32_t functionSet;
    ProviderHandle provider;
    std::uint32_t descriptor; // index in list order
};

// Sends ListSubsystems to handle 0 and reads every entry of every descriptor.
std::vector<ListedSet> listedSets();
// The handle of the first listed provider serving `functionSet`; 0 when none does.
ProviderHandle handleServing(std::uint32_t functionSet);
// Number of descriptors (providers) in a ListSubsystems reply.
std::uint32_t descriptorsListed();

// A 64-bit counter of a statistics record, by its offset in the record.
inline std::uint64_t counterAt(const StatisticsRecord& record, std::uint32_t offset) {
    return u64(&record, offset);
}

// Sends a request and returns the single confirm it got back (not kept), or a failure.
::testing::AssertionResult sendForConfirm(Request& request, std::vector<std::uint8_t>* confirm);

// Sends `request` (its callback set to `collector`, null deliveries routed there too) while the
// next allocation fails: the send must return 0 and the callback get exactly one null, with
// `status` left in the request.
::testing::AssertionResult sendWithoutMemory(Request& request, const ConfirmCollector& collector,
                                             std::uint32_t status);

// Provider key name -> its values (name, data bytes), read through the platform's enumeration.
using ProviderKeys = std::map<std::string, std::vector<std::pair<std::string, std::vector<std::uint8_t>>>>;
ProviderKeys providerKeys();

// Points ConfirmCollector's null deliveries at `collector` for the scope.
class NullDeliveriesTo {
public:
    explicit NullDeliveriesTo(ConfirmCollector& collector) { ConfirmCollector::nullTarget = &collector; }
    ~NullDeliveriesTo() { ConfirmCollector::nullTarget = nullptr; }
    NullDeliveriesTo(const NullDeliveriesTo&) = delete;
    NullDeliveriesTo& operator=(const NullDeliveriesTo&) = delete;
};

} // namespace kov::test

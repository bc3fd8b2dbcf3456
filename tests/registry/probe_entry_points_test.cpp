// The library probe names every entry point a library lacks, not just the first it looks for.
#include "registry/library_probe.h"

#include "support/broker_fixture.h"

namespace kov::test {
namespace {

class ProbeEntryPointsTest : public BrokerTest {};

TEST_F(ProbeEntryPointsTest, NamesEveryMissingEntryPoint) {
    struct Case {
        const char* library;
        unsigned failFindSymbolFrom; // 0: no fault
        bool andAfter;
        const char* reason;
    };
    const Case cases[] = {
        {"kov_test_missing_export", 0, false, "the library does not export kov_DeleteReceive"},
        {"kov_test_hidden_entries", 0, false,
         "the library does not export kov_DeleteReceive, kov_Receive and kov_GetSubSystemInfo "
         "(declare them extern \"C\" and mark them KOV_PROVIDER_EXPORT)"},
        // Looked up in turn: kov_DeleteReceive (call 1), kov_Receive (2), kov_GetSubSystemInfo;
        // a name not found is tried in its two decorated spellings as well.
        {"kov_test_immediate", 1, false, "the library does not export kov_DeleteReceive"},
        {"kov_test_immediate", 2, false, "the library does not export kov_Receive"},
        {"kov_test_immediate", 1, true,
         "the library does not export kov_DeleteReceive, kov_Receive and kov_GetSubSystemInfo "
         "(declare them extern \"C\" and mark them KOV_PROVIDER_EXPORT)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.library) + " from " + std::to_string(c.failFindSymbolFrom));
        registry::LibraryProbe probe;
        if (c.failFindSymbolFrom != 0)
            faults::failNth(faults::Fault::FindSymbol, c.failFindSymbolFrom, c.andAfter);
        const bool accepted = registry::probeLibrary(providerPath(c.library).c_str(), probe);
        faults::clear();
        EXPECT_FALSE(accepted);
        EXPECT_STREQ(probe.reason, c.reason);
        EXPECT_EQ(probe.module, nullptr) << "nothing held after a refusal";
    }
}

} // namespace
} // namespace kov::test

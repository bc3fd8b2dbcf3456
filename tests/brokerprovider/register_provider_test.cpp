// Broker function 4: registering provider libraries in the registry and the running list, removing
// them, refusing malformed requests, and registry or memory failures.
#include "support/broker_fixture.h"
#include "support/caller_view.h"

#include "dispatch/send.h"
#include "registry/registration.h"

namespace kov::test {
namespace {

constexpr std::uint32_t kRegister = 1;
constexpr std::uint32_t kRemove = 0;

// The fixed part of the payload; the first 16 bytes are not the broker's business.
std::vector<std::uint8_t> fields(std::uint32_t operation, std::uint32_t keyOffset,
                                 std::uint32_t pathOffset) {
    std::vector<std::uint8_t> bytes(16, 0xAB);
    appendU32(bytes, operation);
    appendU32(bytes, keyOffset);
    appendU32(bytes, pathOffset);
    return bytes;
}

// A StringItem; without its terminator when `terminated` is false (the count still claims it).
void appendItem(std::vector<std::uint8_t>& bytes, const std::string& text, bool terminated = true) {
    appendU32(bytes, static_cast<std::uint32_t>(text.size() + 1));
    std::vector<std::uint8_t> units = utf16(text);
    if (!terminated) units.resize(units.size() - 2);
    bytes.insert(bytes.end(), units.begin(), units.end());
}

std::vector<std::uint8_t> registration(std::uint32_t operation, const std::string& key,
                                       const std::string& path) {
    std::vector<std::uint8_t> bytes =
        fields(operation, 28, static_cast<std::uint32_t>(28 + 4 + 2 * (key.size() + 1)));
    appendItem(bytes, key);
    appendItem(bytes, path);
    return bytes;
}

// A real provider under a path of 300 bytes or more ("dir/././.../name"): it would load, so only
// its length can refuse it.
std::string overlongPathTo(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::string here = slash == std::string::npos ? ".\\" : "./";
    std::string padded = path.substr(0, nameStart);
    while (padded.size() + (path.size() - nameStart) < 300) padded += here;
    return padded + path.substr(nameStart);
}

class RegisterProviderTest : public BrokerTest {
protected:
    // Sends function 4 and returns the status; the reply is a header-only confirm with the same
    // status as the request. A nonzero `messageEnd` cuts the message there (payload offset): the
    // bytes behind it stay in the buffer, readable but not the broker's to read.
    static std::uint32_t send(const std::vector<std::uint8_t>& payload, std::uint32_t messageEnd = 0) {
        Request request(0, 0, KOV_FN_REGISTER_PROVIDER, 44, payload);
        if (messageEnd != 0) request->totalLength = 44 + messageEnd;
        std::vector<std::uint8_t> confirm;
        EXPECT_TRUE(sendForConfirm(request, &confirm));
        EXPECT_EQ(confirm.size(), 44u);
        if (confirm.size() >= 36) {
            EXPECT_EQ(u32(confirm.data(), 32), request->status);
        }
        return request->status;
    }
    static std::uint32_t send(std::uint32_t operation, const std::string& key, const std::string& path) {
        return send(registration(operation, key, path));
    }
    std::uint32_t setCount() const { return statistics().setCount; }

    const std::string immediate = providerPath("kov_test_immediate");
    const std::string three = providerPath("kov_test_three_sets");
    const std::vector<std::uint8_t> zero{0, 0, 0, 0};
};

TEST_F(RegisterProviderTest, NewKeyIsWrittenAndItsProviderListedLast) {
    registerInRegistry("Three", {three});
    loadProviders();
    const std::uint32_t sets = setCount();
    EXPECT_EQ(send(kRegister, "Fresh", immediate), 0u);
    const ProviderKeys keys = providerKeys();
    ASSERT_EQ(keys.count("Fresh"), 1u);
    EXPECT_EQ(keys.at("Fresh"), (ProviderKeys::mapped_type{{immediate, zero}}));
    EXPECT_EQ(keys.size(), 2u);

    const std::vector<ListedSet> listed = listedSets();
    ASSERT_FALSE(listed.empty());
    EXPECT_EQ(listed.back().functionSet, 0x100u);
    EXPECT_EQ(listed.back().descriptor, 2u) << "after the broker provider and the earlier library";
    Request echo(listed.back().provider, 0x100, 0, 44, {5});
    std::vector<std::uint8_t> confirm;
    ASSERT_TRUE(sendForConfirm(echo, &confirm));
    EXPECT_EQ(u32(confirm.data(), 32), 0u);
    EXPECT_EQ(setCount(), sets + 1);

    // The key exists now, whatever path a second request names.
    for (const std::string& path : {immediate, three}) {
        EXPECT_EQ(send(kRegister, "Fresh", path), 11u);
        EXPECT_EQ(providerKeys(), keys);
        EXPECT_EQ(descriptorsListed(), 3u);
    }
}

// Registration and removal change the machine's registry. A user's key of the same name shadows
// it in this process as at every load: the entry is written, the library not listed, and removal
// leaves the user's provider alone.
TEST_F(RegisterProviderTest, AKeyTheUsersRegistryHoldsIsWrittenButNotListed) {
    faults::pretendElevation(faults::Elevation::NotElevated); // Wine runs programs elevated
    registerInRegistry("Mine", {three}, platform::currentUserKey());
    loadProviders();
    const std::vector<std::uint32_t> listed = listedFunctionSets();
    EXPECT_EQ(listed, (std::vector<std::uint32_t>{0, 0x401}));
    EXPECT_EQ(send(kRegister, "mine", immediate), 0u);
    EXPECT_EQ(providerKeys().count("mine"), 1u);
    EXPECT_EQ(listedFunctionSets(), listed);
    EXPECT_FALSE(libraryLoaded(immediate));
    EXPECT_EQ(send(kRemove, "mine", immediate), 0u);
    EXPECT_TRUE(providerKeys().empty());
    EXPECT_EQ(listedFunctionSets(), listed);
}

// A provider key without values names no library: it is deleted, so the next attempt succeeds.
TEST_F(RegisterProviderTest, ExistingEmptyKeyAnswers11AndGoes) {
    registerInRegistry("Empty", {});
    loadProviders();
    EXPECT_EQ(send(kRegister, "Empty", immediate), 11u);
    EXPECT_TRUE(providerKeys().empty());
    EXPECT_EQ(send(kRegister, "Empty", immediate), 0u);
    EXPECT_EQ(providerKeys(), (ProviderKeys{{"Empty", {{immediate, zero}}}}));
}

TEST_F(RegisterProviderTest, PathThatIsNoProviderLeavesNoKey) {
    loadProviders();
    for (const char* library :
         {"kov_test_missing_export", "kov_test_no_such_library", "kov_test_null_info",
          "kov_test_bad_length", "kov_test_bad_string", "kov_test_bad_chain",
          "kov_test_bad_stride16", "kov_test_bad_count_beyond_chain", "kov_test_bad_overlapping",
          "kov_test_bad_string_in_fixed", "kov_test_bad_entry_on_string",
          "kov_test_bad_sets_past_end"}) {
        SCOPED_TRACE(library);
        EXPECT_EQ(send(kRegister, "Fresh", providerPath(library)), 10u);
        EXPECT_TRUE(providerKeys().empty());
        EXPECT_EQ(descriptorsListed(), 1u);
        EXPECT_FALSE(libraryLoaded(providerPath(library)));
    }
}

TEST_F(RegisterProviderTest, RemovingFromAnUnknownKeyLeavesNoKey) {
    registerInRegistry("Keep", {immediate});
    loadProviders();
    const ProviderKeys before = providerKeys();
    EXPECT_EQ(send(kRemove, "Ghost", immediate), 7u);
    EXPECT_EQ(providerKeys(), before);
    EXPECT_NE(handleServing(0x100), 0u);
}

// Every operation but 1 removes.
TEST_F(RegisterProviderTest, RemovingTheOnlyValueDeletesKeyAndProvider) {
    loadProviders();
    for (std::uint32_t operation : {0u, 2u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(operation);
        ASSERT_EQ(send(kRegister, "Fresh", immediate), 0u);
        const ProviderHandle handle = handleServing(0x100);
        ASSERT_NE(handle, 0u);
        const std::uint32_t sets = setCount();

        EXPECT_EQ(send(operation, "Fresh", immediate), 0u);
        EXPECT_TRUE(providerKeys().empty());
        EXPECT_EQ(descriptorsListed(), 1u);
        EXPECT_FALSE(libraryLoaded(immediate));
        Request request(handle, 0x100, 0);
        std::vector<std::uint8_t> confirm;
        ASSERT_TRUE(sendForConfirm(request, &confirm));
        EXPECT_EQ(u32(confirm.data(), 32), 4u);
        EXPECT_EQ(setCount(), sets) << "a removal does not lower it";
    }
}

TEST_F(RegisterProviderTest, RemovingOneOfTwoValuesKeepsTheKey) {
    registerInRegistry("Pair", {immediate, three});
    loadProviders();
    EXPECT_EQ(send(kRemove, "Pair", immediate), 0u);
    EXPECT_EQ(providerKeys(), (ProviderKeys{{"Pair", {{three, zero}}}}));
    EXPECT_EQ(handleServing(0x100), 0u);
    EXPECT_NE(handleServing(0x401), 0u);
}

TEST_F(RegisterProviderTest, RemovingALibraryThatNeverLoadedLeavesTheList) {
    const std::string missing = providerPath("kov_test_missing_export");
    registerInRegistry("Broken", {missing});
    ASSERT_EQ(descriptorsListed(), 1u);
    EXPECT_EQ(send(kRemove, "Broken", missing), 0u);
    EXPECT_TRUE(providerKeys().empty());
    EXPECT_EQ(descriptorsListed(), 1u);
    EXPECT_EQ(listedSets().front().functionSet, 0u);
}

// Two records share one module: the record of the key named goes (list order has the walk's
// last key first: B's record, then A's), the library is unloaded once, and the other record
// keeps working.
TEST_F(RegisterProviderTest, TwoKeysNamingOneLibraryGiveTwoRecords) {
    for (const char* first : {"A", "B"}) {
        SCOPED_TRACE(first);
        registerInRegistry("A", {immediate});
        registerInRegistry("B", {immediate});
        Request reload(0, 0, KOV_FN_RELOAD);
        std::vector<std::uint8_t> reply;
        ASSERT_TRUE(sendForConfirm(reload, &reply));
        std::vector<ProviderHandle> handles;
        for (const ListedSet& set : listedSets())
            if (set.functionSet == 0x100) handles.push_back(set.provider);
        ASSERT_EQ(handles.size(), 2u);

        EXPECT_EQ(send(kRemove, first, immediate), 0u);
        EXPECT_TRUE(libraryLoaded(immediate));
        const std::uint32_t expected[] = {first[0] == 'B' ? 4u : 0u, first[0] == 'A' ? 4u : 0u};
        for (int i = 0; i < 2; ++i) {
            Request echo(handles[i], 0x100, 0);
            std::vector<std::uint8_t> confirm;
            ASSERT_TRUE(sendForConfirm(echo, &confirm));
            EXPECT_EQ(u32(confirm.data(), 32), expected[i]) << "record " << i << " in list order";
        }
        EXPECT_EQ(send(kRemove, first[0] == 'A' ? "B" : "A", immediate), 0u);
        EXPECT_FALSE(libraryLoaded(immediate));
        EXPECT_TRUE(providerKeys().empty());
    }
}

TEST_F(RegisterProviderTest, SetCountRisesWithRegistrationOnly) {
    loadProviders();
    EXPECT_EQ(setCount(), 2u);
    EXPECT_EQ(send(kRegister, "Three", three), 0u);
    EXPECT_EQ(setCount(), 5u);
    EXPECT_EQ(send(kRemove, "Three", three), 0u);
    EXPECT_EQ(setCount(), 5u);
    Request reload(0, 0, KOV_FN_RELOAD);
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(sendForConfirm(reload, &reply));
    EXPECT_EQ(setCount(), 2u);
}

// Requests that cannot be read inside the message, or name nothing the registry can hold, are
// refused before anything is touched.
TEST_F(RegisterProviderTest, MalformedRequestsLeaveRegistryAndListAlone) {
    const std::string longName(300, 'k');
    const std::string longPath = overlongPathTo(three);
    const auto keyOnly = [](std::uint32_t operation, std::uint32_t pathOffset,
                            const std::string& key) {
        std::vector<std::uint8_t> bytes = fields(operation, 28, pathOffset);
        appendItem(bytes, key);
        return bytes;
    };
    std::vector<std::uint8_t> noTerminatorKey = fields(kRegister, 28, 28);
    appendItem(noTerminatorKey, "Fresh", false);
    // The key item takes 16 bytes; the path's text ends with the message, unterminated.
    std::vector<std::uint8_t> noTerminatorPath = fields(kRegister, 28, 28 + 16);
    appendItem(noTerminatorPath, "Fresh");
    appendItem(noTerminatorPath, three, false);
    std::vector<std::uint8_t> noTerminatorPathRemove = noTerminatorPath;
    noTerminatorPathRemove[16] = 0; // operation 0
    std::vector<std::uint8_t> shortPayload = fields(kRegister, 28, 28);
    shortPayload.resize(24);

    // Registering this would succeed if the broker read past the message's end.
    const std::vector<std::uint8_t> valid = registration(kRegister, "Fresh", three);
    const std::vector<std::uint8_t> validRemove = registration(kRemove, "Keep", immediate);
    struct Case {
        const char* what;
        std::vector<std::uint8_t> payload;
        std::uint32_t messageEnd;
        std::uint32_t status;
    };
    const Case cases[] = {
        {"key item past the message", fields(kRegister, 1000, 28), 0, 8},
        {"key offset wrapping around", fields(kRegister, 0xFFFFFFFE, 28), 0, 8},
        {"key item head cut by the message end", valid, 30, 8},
        {"key text cut by the message end", valid, 28 + 4 + 6, 8},
        {"key without terminator", noTerminatorKey, 0, 8},
        {"empty key name", registration(kRegister, "", three), 0, 8},
        {"empty key name, remove", registration(kRemove, "", immediate), 0, 8},
        {"key name over 299 bytes", registration(kRegister, longName, three), 0, 8},
        {"path item past the message", keyOnly(kRegister, 2000, "Fresh"), 0, 10},
        {"path item past the message, remove", keyOnly(kRemove, 2000, "Keep"), 0, 7},
        {"path text cut by the message end", valid, 28 + 16 + 4 + 10, 10},
        {"path text cut by the message end, remove", validRemove, 28 + 14 + 4 + 10, 7},
        {"path without terminator", noTerminatorPath, 0, 10},
        {"path without terminator, remove", noTerminatorPathRemove, 0, 7},
        {"path over 299 bytes", registration(kRegister, "Fresh", longPath), 0, 10},
        {"path over 299 bytes, remove", registration(kRemove, "Keep", longPath), 0, 7},
        {"empty path", registration(kRegister, "Fresh", ""), 0, 10},
        {"payload shorter than its fields", shortPayload, 0, 8},
    };
    registerInRegistry("Keep", {immediate});
    loadProviders();
    const ProviderKeys before = providerKeys();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(send(c.payload, c.messageEnd), c.status);
        EXPECT_EQ(providerKeys(), before);
        EXPECT_EQ(descriptorsListed(), 2u);
        EXPECT_FALSE(libraryLoaded(three));
    }
    // A message shorter than its own header never reaches the function: refused, no confirm,
    // and its status field (bytes 32..35, past the 28 bytes it claims) left alone.
    Request shortMessage(0, 0, KOV_FN_REGISTER_PROVIDER, 44, valid);
    shortMessage->totalLength = 28;
    const std::uint32_t statusBefore = shortMessage->status;
    std::vector<std::uint8_t> none;
    EXPECT_FALSE(sendForConfirm(shortMessage, &none));
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(shortMessage->status, statusBefore);
    EXPECT_EQ(providerKeys(), before);
    EXPECT_FALSE(libraryLoaded(three));
}

TEST_F(RegisterProviderTest, RegistryFailuresAreReportedAndUndone) {
    registerInRegistry("Keep", {immediate});
    loadProviders();
    const ProviderKeys before = providerKeys();
    const std::uint32_t sets = setCount();
    // Each of the three keys in turn: the broker key, "Provider List", the provider key.
    for (unsigned n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        faults::failNth(faults::Fault::CreateKey, n);
        EXPECT_EQ(send(kRegister, "Fresh", three), 8u);
        faults::clear();
        EXPECT_EQ(providerKeys(), before);
        EXPECT_FALSE(libraryLoaded(three));
        EXPECT_EQ(setCount(), sets);
    }

    faults::failNth(faults::Fault::SetValue, 1);
    EXPECT_EQ(send(kRegister, "Fresh", three), 9u);
    faults::clear();
    EXPECT_EQ(providerKeys(), before);
    EXPECT_FALSE(libraryLoaded(three));
    EXPECT_EQ(descriptorsListed(), 2u);
    EXPECT_EQ(setCount(), sets + 3) << "the described sets stay counted";

    faults::failNth(faults::Fault::DeleteValue, 1);
    EXPECT_EQ(send(kRemove, "Keep", immediate), 7u);
    faults::clear();
    EXPECT_EQ(providerKeys(), before);
    EXPECT_NE(handleServing(0x100), 0u);
}

// The registry steps of a removal with the C++ heap failing at each allocation in turn: the key
// steps report 8, the value step 7, and a removal either happens whole or not at all.
TEST_F(RegisterProviderTest, HeapFailuresInTheRegistryBecomeStatuses) {
    const std::u16string key = u"Keep";
    const std::u16string path(immediate.begin(), immediate.end());
    unsigned runs = 0;
    for (unsigned n = 1;; ++n) {
        SCOPED_TRACE(n);
        registerInRegistry("Keep", {immediate});
        const ProviderKeys before = providerKeys();
        ++runs;
        faults::failNth(faults::Fault::CppHeap, n);
        std::uint32_t status = 0xFFFFFFFF;
        EXPECT_NO_THROW(status = registry::updateRegistration(key.c_str(), path.c_str(), kRemove));
        const bool reached = faults::callsSeen(faults::Fault::CppHeap) >= n;
        faults::clear();
        if (status == 0u) {
            // The value is gone; an emptied key may stay if deleting it failed (the next
            // registration under it answers 11 and removes it).
            const ProviderKeys after = providerKeys();
            const ProviderKeys emptied{{"Keep", {}}};
            EXPECT_TRUE(after.empty() || after == emptied);
            if (!after.empty()) {
                EXPECT_EQ(send(kRegister, "Keep", immediate), 11u);
            }
        } else {
            EXPECT_TRUE(status == 7u || status == 8u) << status;
            EXPECT_EQ(providerKeys(), before);
        }
        if (!reached) {
            EXPECT_EQ(status, 0u);
            break;
        }
        ASSERT_LT(n, 500u);
    }
    std::printf("registration heap sweep: %u runs\n", runs);
}

TEST_F(RegisterProviderTest, NoMemoryForTheReplyDoesNothing) {
    loadProviders();
    ConfirmCollector collector(0);
    const NullDeliveriesTo nulls(collector);
    Request request(0, 0, KOV_FN_REGISTER_PROVIDER, 44, registration(kRegister, "Fresh", three));
    collector.use(request.get());
    EXPECT_TRUE(sendWithoutMemory(request, collector, 3));
    EXPECT_TRUE(providerKeys().empty());
    EXPECT_FALSE(libraryLoaded(three));
    EXPECT_EQ(descriptorsListed(), 1u);
}

} // namespace
} // namespace kov::test

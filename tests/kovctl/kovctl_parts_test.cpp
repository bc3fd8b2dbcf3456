// kovctl's own logic, without running the program: how a ListSubsystems reply is matched to the
// registry entries it came from, which stored paths a removal names, how the registry is read in
// the broker's order, what is said when this process may not write it, how libraries are checked
// in copies of kovctl, and how far a confirm is read.
#include "args.h"
#include "commands.h"
#include "copies.h"
#include "exchange.h"
#include "library_checks.h"
#include "registry_check.h"
#include "registry_view.h"
#include "text.h"

#include "platform/faults.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kovctl {
namespace {

namespace platform = kov::platform;

Subsystem described(const char16_t* product, std::vector<std::uint32_t> sets,
                    std::uint32_t handle = 0) {
    Subsystem s;
    s.product = product;
    s.versionMajor = 1;
    for (const std::uint32_t set : sets) s.sets.push_back({set, 1, 0, handle});
    return s;
}

CheckedEntry entry(const char* key, const char* path, const Subsystem* loads) {
    CheckedEntry e;
    e.entry = {key, path};
    e.check.loads = loads != nullptr;
    if (loads != nullptr) e.check.description = *loads;
    else e.check.reason = "cannot be loaded";
    return e;
}

const Subsystem kBroker = described(u"broker", {0, 0xFFFF}, 1);
const Subsystem kA = described(u"A", {0x100});
const Subsystem kB = described(u"B", {0x200});

TEST(KovctlListing, LoadedEntriesPairWithTheListInReverseAndTheRestAreNotLoaded) {
    // Registry order: a, gone, b. The broker pushed a, then b, to the front, then itself.
    const std::vector<CheckedEntry> entries = {entry("a", "/a.so", &kA),
                                               entry("gone", "/gone.so", nullptr),
                                               entry("b", "/b.so", &kB)};
    const std::vector<Subsystem> listed = {kBroker, kB, kA};
    const Listing listing = matchListing(listed, entries);
    EXPECT_EQ((std::vector<long>{-1, 2, 0}), listing.entryOf);
    EXPECT_EQ(std::vector<std::size_t>{1}, listing.notLoaded);
}

// One process reads the registry twice: the same number of loaded entries pair one to one, even
// when a library describes itself differently each time.
TEST(KovctlListing, AsManyLoadedAsListedPairInOrderWhateverTheyCallThemselves) {
    const Subsystem renamed = described(u"A, second call", {0x100});
    const std::vector<CheckedEntry> entries = {entry("a", "/a.so", &renamed)};
    const Listing listing = matchListing({kBroker, kA}, entries);
    EXPECT_EQ((std::vector<long>{-1, 0}), listing.entryOf);
    EXPECT_TRUE(listing.notLoaded.empty());
}

// The registry changed after the broker loaded it: what the list does not show is named, what the
// registry does not hold has no key.
TEST(KovctlListing, AChangedRegistryIsMatchedByDescription) {
    const Subsystem c = described(u"C", {0x300});
    const std::vector<CheckedEntry> entries = {entry("a", "/a.so", &kA), entry("c", "/c.so", &c),
                                               entry("b", "/b.so", &kB)};
    // Listed: b and a (c registered since); and x, which the registry no longer holds.
    const Subsystem x = described(u"X", {0x900});
    const Listing listing = matchListing({kBroker, kB, x, kA}, entries);
    EXPECT_EQ((std::vector<long>{-1, 2, -1, 0}), listing.entryOf);
    EXPECT_EQ(std::vector<std::size_t>{1}, listing.notLoaded);
}

TEST(KovctlListing, DescriptionsCompareWithoutHandlesAndTimestamps) {
    Subsystem a = described(u"A", {0x100}, 7);
    a.timestamp = "2026-01-01T00:00:00.000+0000";
    EXPECT_TRUE(sameDescription(a, kA));
    Subsystem otherVersion = kA;
    otherVersion.sets[0].minor = 1;
    EXPECT_FALSE(sameDescription(otherVersion, kA));
    EXPECT_FALSE(sameDescription(described(u"A", {0x100, 0x101}), kA));
    EXPECT_FALSE(sameDescription(kB, kA));
}

TEST(KovctlRemoval, APathNamesTheStoredPathsItResolvesTo) {
    const std::string lib = platform::absolutePath("lib/x.so");
    const std::string other = platform::absolutePath("lib/y.so");
    const std::string besideKovctl = platform::programDirectory() + "z.so";
    const std::vector<std::string> held = {lib, other, "relative/x.so", besideKovctl};
    struct Case {
        std::string given;
        std::vector<std::string> named;
    };
    for (const Case& c : std::vector<Case>{
             {"", held},
             {lib, {lib}},
             {"lib/./x.so", {lib}},
             {"lib/sub/../x.so", {lib}},
             {"relative/x.so", {"relative/x.so"}},
             {"z.so", {besideKovctl}},
             {"lib/none.so", {}},
         })
        EXPECT_EQ(c.named, librariesNamed(held, c.given)) << "given '" << c.given << "'";
}

TEST(KovctlRemoval, KeyNamesCompareWithoutCase) {
    EXPECT_TRUE(sameKey("KOV Sample", "kov sample"));
    EXPECT_FALSE(sameKey("KOV Sample", "KOV Sample2"));
    EXPECT_FALSE(sameKey("a", ""));
}

class KovctlRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        kov::faults::clear();
        platform::testing::useScratchRegistry("kovctl_parts");
    }
    void TearDown() override {
        kov::faults::clear();
        platform::testing::dropScratchRegistry();
    }
    static void write(const char* key, std::initializer_list<const char*> paths,
                      platform::RegKey root = platform::localMachineKey()) {
        const std::string name = std::string("Software\\KOV_Broker\\Provider List\\") + key;
        platform::RegKey handle = nullptr;
        ASSERT_EQ(platform::kRegOk, platform::createKey(root, name.c_str(), nullptr, &handle, nullptr));
        for (const char* path : paths) ASSERT_EQ(platform::kRegOk, platform::setDwordValue(handle, path, 0));
        platform::closeKey(handle);
    }
};

TEST_F(KovctlRegistry, EntriesComeInTheBrokersLoadOrder) {
    std::vector<RegistryEntry> entries;
    std::string error;
    ASSERT_TRUE(readRegistry(entries, error)) << error; // nothing registered: empty, no error
    EXPECT_TRUE(entries.empty());
    EXPECT_FALSE(registryExists()); // ...and not there at all
    write("beta", {"/b1.so"});
    EXPECT_TRUE(registryExists());
    write("Alpha", {"/a1.so"});
    ASSERT_TRUE(readRegistry(entries, error)) << error;
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("Alpha", entries[0].key);
    EXPECT_EQ("/a1.so", entries[0].path);
    EXPECT_EQ("beta", entries[1].key);
    // Reading needs no write access.
    kov::faults::denyRegistryWrites(true);
    ASSERT_TRUE(readRegistry(entries, error)) << error;
    EXPECT_EQ(2u, entries.size());
}

// The user's registry (HKEY_CURRENT_USER on Windows) over the machine's: its entries come after the
// machine's, a key of its own shadows the machine's of that name, and `remove` picks the registry
// that holds the key. An elevated process reads the machine's alone, and says why.
TEST_F(KovctlRegistry, TheUsersEntriesFollowTheMachinesAndShadowTheirKeys) {
    write("Alpha", {"/a.so"});
    write("Shared", {"/machine.so"});
    write("SHARED", {"/mine.so"}, platform::currentUserKey());
    write("Zed", {"/z.so"}, platform::currentUserKey());
    struct Case {
        bool elevated;
        std::vector<std::string> loaded; // key:path:layer, in load order
    };
    for (const Case& c : {Case{false, {"Alpha:/a.so:machine", "SHARED:/mine.so:user", "Zed:/z.so:user"}},
                          Case{true, {"Alpha:/a.so:machine", "Shared:/machine.so:machine"}}}) {
        SCOPED_TRACE(c.elevated ? "elevated" : "as the user");
        // Wine runs every program elevated: the process is taken for one that is not.
        kov::faults::pretendElevation(c.elevated ? kov::faults::Elevation::Elevated
                                                 : kov::faults::Elevation::NotElevated);
        std::vector<RegistryEntry> entries;
        std::string error, trouble;
        ASSERT_TRUE(readRegistry(entries, error, &trouble)) << error;
        std::vector<std::string> loaded;
        for (const RegistryEntry& e : entries)
            loaded.push_back(e.key + ":" + e.path + ":" + layerName(e.layer));
        EXPECT_EQ(loaded, c.loaded);
        EXPECT_EQ(trouble.empty(), !c.elevated) << trouble;
        ASSERT_TRUE(readLayers(entries, error, trouble)) << error;
        ASSERT_FALSE(entries.empty());
        EXPECT_EQ(entries[1].shadowed, !c.elevated) << "the machine's Shared";
    }
    kov::faults::pretendElevation(kov::faults::Elevation::NotElevated);
    // Each key goes from the registry that holds it, where both do from the machine's (writable
    // here); a key in neither is refused.
    for (const char* key : {"zed", "Shared", "Alpha", "Alpha"}) {
        const char* words[] = {"kovctl", "remove", key};
        const ParseResult parsed = parseArguments(3, words);
        ASSERT_TRUE(parsed.ok) << parsed.error;
        runRemove(parsed.options);
    }
    std::vector<RegistryEntry> entries;
    std::string error, trouble;
    ASSERT_TRUE(readLayers(entries, error, trouble)) << error;
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("SHARED:/mine.so:user", entries[0].key + ":" + entries[0].path + ":" +
                                                layerName(entries[0].layer));
}

TEST_F(KovctlRegistry, MissingWriteAccessIsNamedWithTheRegistry) {
    EXPECT_EQ("", writeAccessProblem());
    kov::faults::denyRegistryWrites(true);
    const std::string problem = writeAccessProblem();
    EXPECT_NE(std::string::npos, problem.find("no write access to the registry '" + registryName() + "'"))
        << problem;
    EXPECT_NE(std::string::npos, registryName().find(platform::registryLocation("")))
        << registryName();
}

// Each library is loaded in a copy of kovctl: a crash or a hang is that library's verdict, and
// the libraries after it are still checked.
TEST(KovctlLibrary, EachLibraryIsCheckedInACopyThatMayCrashOrHang) {
    setHelperProgram(platform::programDirectory() + KOVCTL_PROGRAM_FILE);
    struct Case {
        const char* library;
        bool loads;
        LoadFault fault;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"kov_test_crash_on_load", false, LoadFault::Crash,
         "loading it crashed the process: " KOVCTL_CRASH_CAUSE},
        {"kov_test_immediate", true, LoadFault::None, ""},
        {"kov_test_hang_on_load", false, LoadFault::Hang,
         "loading it did not finish within 1000 ms (--timeout)"},
        {"kov_no_such_library", false, LoadFault::None, "the library cannot be loaded"},
        {"kov_test_three_sets", true, LoadFault::None, ""},
    };
    std::vector<std::string> paths;
    for (const Case& c : cases)
        paths.push_back(std::string(KOV_TEST_DIR) + c.library + KOV_TEST_LIB_SUFFIX);
    const std::vector<LibraryCheck> checks = checkLibraries(paths, 1000);
    ASSERT_EQ(cases.size(), checks.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(cases[i].loads, checks[i].loads) << cases[i].library << ": " << checks[i].reason;
        EXPECT_EQ(cases[i].fault, checks[i].fault) << cases[i].library;
        EXPECT_EQ(0u, checks[i].reason.find(cases[i].reason)) << checks[i].reason;
    }
    EXPECT_EQ(u"Immediate test provider", checks[1].description.product);
    EXPECT_EQ(platform::pathKey(paths[1]), platform::pathKey(checks[1].loadedFrom));
    EXPECT_EQ(3u, checks[4].description.sets.size());

    // Without a program to start, nothing is loaded here instead: each library says why.
    setHelperProgram(platform::programDirectory() + "no_such_kovctl");
    for (const LibraryCheck& check : checkLibraries({paths[1], paths[4]}, 1000)) {
        EXPECT_FALSE(check.loads);
        EXPECT_EQ(0u, check.reason.find("kovctl cannot start a process of its own")) << check.reason;
    }
    setHelperProgram("");
}

// A confirm is read as far as its header says, and only once the header holds together: the two
// lengths (offsets 0 and 8) are read first, and a lie stops the copy there.
TEST(KovctlExchange, AConfirmIsNeverReadPastWhatItsHeaderGives) {
    struct Case {
        std::uint32_t totalLength;
        std::uint32_t headerLength;
        const char* malformed;
        std::size_t copied;
    };
    const std::vector<Case> cases = {
        {48, 44, "", 48},
        {44, 44, "", 44},
        {20, 44, "totalLength 20 is shorter than the 44-byte header", 0},
        {48, 40, "headerLength 40 is shorter than the 44-byte header", 0},
        {46, 4096, "headerLength 4096 exceeds totalLength 46", 0},
        {1u << 30, 44, "totalLength 1073741824 is more than kovctl accepts (64 MiB)", 0},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> block(48, 0xAB);
        std::memcpy(&block[0], &c.totalLength, 4);
        std::memcpy(&block[8], &c.headerLength, 4);
        std::vector<std::uint8_t> copy;
        std::string malformed;
        EXPECT_EQ(c.copied != 0, takeConfirm(reinterpret_cast<const BrokerMessage*>(block.data()),
                                             copy, malformed));
        EXPECT_EQ(c.malformed, malformed) << c.totalLength << "/" << c.headerLength;
        EXPECT_EQ(c.copied, copy.size()) << c.totalLength << "/" << c.headerLength;
    }
}

// A key with two libraries (written by other means: register adds one per key) goes whole with
// `remove KEY`, straight from the registry every process uses, loading neither library.
TEST(KovctlRemove, WithoutAPathEveryLibraryOfTheKeyGoes) {
    const std::string key = "Software\\KOV_Broker\\Provider List\\kovctl_parts_two";
    const std::string first = std::string(KOV_TEST_DIR) + "kov_test_immediate" + KOV_TEST_LIB_SUFFIX;
    const std::string second = std::string(KOV_TEST_DIR) + "kov_test_three_sets" + KOV_TEST_LIB_SUFFIX;
    platform::RegKey handle = nullptr;
    ASSERT_EQ(platform::kRegOk, platform::createKey(platform::localMachineKey(), key.c_str(),
                                                    nullptr, &handle, nullptr));
    ASSERT_EQ(platform::kRegOk, platform::setDwordValue(handle, first.c_str(), 0));
    ASSERT_EQ(platform::kRegOk, platform::setDwordValue(handle, second.c_str(), 0));
    platform::closeKey(handle);

    const char* words[] = {"kovctl", "remove", "KOVCTL_PARTS_TWO", "--json"};
    const ParseResult parsed = parseArguments(4, words);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(0, runRemove(parsed.options));
    EXPECT_EQ(nullptr, platform::findLoadedModule(first.c_str()));
    EXPECT_EQ(nullptr, platform::findLoadedModule(second.c_str()));

    std::string error;
    std::vector<RegistryEntry> entries;
    ASSERT_TRUE(readRegistry(entries, error)) << error;
    for (const RegistryEntry& entry : entries) EXPECT_FALSE(sameKey(entry.key, "kovctl_parts_two"));
    platform::deleteKey(platform::localMachineKey(), key.c_str()); // when the test failed
}

TEST(KovctlArguments, RemoveTakesAKeyAndMaybeAPathAndOnlyListTakesLoadedOnly) {
    struct Case {
        std::vector<const char*> words;
        bool ok;
        std::size_t operands;
    };
    for (const Case& c : std::vector<Case>{
             {{"kovctl", "remove", "k"}, true, 1},
             {{"kovctl", "remove", "k", "/x.so"}, true, 2},
             {{"kovctl", "remove"}, false, 0},
             {{"kovctl", "remove", "k", "/x.so", "extra"}, false, 0},
             {{"kovctl", "list", "--loaded-only"}, true, 0},
             {{"kovctl", "registry", "--loaded-only"}, false, 0},
             {{"kovctl", "register", "k", "/x.so", "--user"}, true, 2},
             {{"kovctl", "registry", "--machine"}, true, 0},
             {{"kovctl", "remove", "k", "--user", "--machine"}, false, 0},
             {{"kovctl", "list", "--user"}, false, 0},
         }) {
        const ParseResult parsed = parseArguments(static_cast<int>(c.words.size()), c.words.data());
        EXPECT_EQ(c.ok, parsed.ok) << c.words[1] << ": " << parsed.error;
        if (parsed.ok) {
            EXPECT_EQ(c.operands, parsed.options.operands.size());
        }
    }
}

} // namespace
} // namespace kovctl

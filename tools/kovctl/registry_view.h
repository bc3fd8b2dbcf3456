// The registry as the broker loads it, read and checked in kovctl's own process: which libraries
// are registered under which key, whether each loads (with the broker's own loading code), and
// which of them a broker's ListSubsystems reply shows.
#pragma once

#include "records.h"

#include <cstddef>
#include <string>
#include <vector>

namespace kovctl {

// The two registries the broker reads: the machine's, then the user's own, whose keys shadow the
// machine's keys of the same name.
enum class Layer { Machine, User };
const char* layerName(Layer layer); // "machine", "user"

struct RegistryEntry {
    std::string key;
    std::string path;
    Layer layer = Layer::Machine;
    bool shadowed = false; // a machine entry whose key the user's registry holds: not loaded
};

// A library that took down the process loading it, or kept it waiting past --timeout; or one the
// broker skips because it did so to an earlier process (a crash record), not loaded again.
enum class LoadFault { None, Crash, Hang, Skipped };
// "crash", "hang", "skipped", or null for none (JSON's words).
const char* loadFaultName(LoadFault fault);

// What loading one library the broker's way showed.
struct LibraryCheck {
    bool loads = false;
    std::string reason;      // why not
    LoadFault fault = LoadFault::None;
    Subsystem description;   // when it loads; handles 0
    Bytes descriptor;        // when it loads: the description as the broker copies it
    std::string loadedFrom;  // when it loads: the file the loader took it from
};

// Loads `path` as the broker would, in this process, reads its description, unloads it again.
// Only a copy of kovctl runs it (see checkLibraries).
LibraryCheck checkLibrary(const std::string& path);

// Every library the broker loads, in the order it loads them: the machine's registry, then the
// user's; in each, keys in name order and each key's libraries in the order they were written.
// Machine entries the user's keys shadow are left out. A registry without the broker's keys holds
// none. False, with `error` set, when the machine's registry cannot be read; a user's registry
// that this process does not use, or cannot read, adds nothing (as for the broker), and
// `userTrouble` (when given) says why.
bool readRegistry(std::vector<RegistryEntry>& out, std::string& error,
                  std::string* userTrouble = nullptr);
// Both registries whole, shadowed machine entries marked, the machine's first.
bool readLayers(std::vector<RegistryEntry>& out, std::string& error, std::string& userTrouble);
// One registry alone, every entry (the user's: whether or not this process would use it).
bool readLayer(Layer layer, std::vector<RegistryEntry>& out, std::string& error);
// Why this process takes no providers from the user's registry; empty when it does.
std::string userLayerUnused();

// Whether the registry holds the broker's key at all: a registry nobody registered into (a file
// that is not there, a mistyped KOV_BROKER_REGISTRY) is told apart from an empty one.
bool registryExists(Layer layer = Layer::Machine);

struct CheckedEntry {
    RegistryEntry entry;
    LibraryCheck check;
    bool remembered = false; // a crash record keeps the broker from loading it again
};
// Each library checked in a copy of kovctl (checkLibraries), each given `timeoutMs`; one with a
// crash record is not loaded (LoadFault::Skipped, the record as its reason).
std::vector<CheckedEntry> checkEntries(const std::vector<RegistryEntry>& entries,
                                       std::uint32_t timeoutMs);

// Which registry entry each provider of a ListSubsystems reply came from. The broker loads the
// entries in registry order and pushes each library it accepts to the front of its list, then its
// own provider: so the list after its first provider is the accepted entries, last loaded first.
// Providers pair with the entries kovctl could load, in that order, by description; what is left
// pairs in order where the function sets agree.
struct Listing {
    std::vector<long> entryOf;           // per listed provider: index into the entries, or -1
    std::vector<std::size_t> notLoaded;  // entries the list does not show, in registry order
};
Listing matchListing(const std::vector<Subsystem>& listed, const std::vector<CheckedEntry>& entries);

// Same product, maker, copyright, version and function sets (handles and timestamps aside).
bool sameDescription(const Subsystem& a, const Subsystem& b);
// The same function sets at the same versions, in the same order.
bool sameSets(const Subsystem& a, const Subsystem& b);

// The libraries of one key (`held`) that `given` names: all of them for an empty `given`; else
// those equal to it as typed or as full paths ("/x/./y.so" names "/x/y.so"; case aside on
// Windows). A bare file name also names the file beside kovctl, where the Windows loader looks
// first and where `register` found it.
std::vector<std::string> librariesNamed(const std::vector<std::string>& held, const std::string& given);

// Key names compare without case, as the registry compares them.
bool sameKey(const std::string& a, const std::string& b);

// Why an entry that kovctl could load is missing from the broker's list.
extern const char* const kNotListedReason;

} // namespace kovctl

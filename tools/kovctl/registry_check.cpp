// Whether the registry this process would load providers from can be read at all. The broker
// skips an unreadable registry silently (a caller must still get the broker provider), so kovctl
// looks first and names the problem instead of listing only the broker.
#include "registry_check.h"

#include "platform/platform.h"

#include <cstdlib>

namespace kovctl {
namespace {

constexpr long kBadPathname = 161; // ERROR_BAD_PATHNAME
constexpr long kBadDatabase = 1009; // ERROR_BADDB

std::string configuredRegistry() {
    const char* configured = std::getenv("KOV_BROKER_REGISTRY");
    return configured != nullptr ? configured : "";
}

} // namespace

bool registryUsable(std::string& problem) {
    namespace platform = kov::platform;
    platform::RegKey key = nullptr;
    const long rc = platform::openKey(platform::localMachineKey(), "Software", &key);
    if (key != nullptr) platform::closeKey(key);
    if (rc == kBadDatabase) {
        problem = "the registry '" + configuredRegistry() + "' is not a registry database";
        return false;
    }
    if (rc == kBadPathname && std::getenv("KOV_BROKER_REGISTRY") != nullptr) {
        problem = "KOV_BROKER_REGISTRY is set but empty: it names no registry";
        return false;
    }
    return true; // missing (an empty registry) or readable
}

} // namespace kovctl

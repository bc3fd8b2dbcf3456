// The broker passes over an unusable registry without a word (a caller must still get the broker
// provider) and waits for a locked one: kovctl looks first, names the problem instead of listing
// only the broker, and says when it waits.
#include "registry_check.h"

#include "registry_view.h"

#include "platform/platform.h"
#include "registry/provider_loading.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace kovctl {
namespace {

namespace platform = kov::platform;

// How long kovctl waits quietly for another process's lock before saying so.
constexpr std::uint32_t kQuietWaitMs = 1000;

long probeRegistry() {
    platform::RegKey key = nullptr;
    const long rc = platform::openKey(platform::localMachineKey(), kov::registry::kBrokerKey, &key);
    if (key != nullptr) platform::closeKey(key);
    return rc == platform::kRegFileNotFound ? platform::kRegOk : rc;
}

std::string octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "0%o", mode);
    return text;
}

// What stands in the way, and who may clear it.
std::string deniedBecause(const platform::RegistryWriteDenial& denial) {
    using Cause = platform::RegistryWriteDenial::Cause;
    const std::string mode = "mode " + octal(denial.mode);
    switch (denial.cause) {
    case Cause::Administrator: return "register and remove need administrator rights";
    case Cause::File:
        if (denial.yours)
            return "the file is yours but read-only (" + mode +
                   "): make it writable (chmod u+w) to register and remove";
        return "the file belongs to " + denial.owner + " (" + mode + "): register and remove need " +
               denial.owner + ", or an administrator";
    case Cause::Folder:
        if (denial.yours)
            return "its folder '" + denial.path + "' is yours but not writable (" + mode +
                   "), and the registry writes its journal there: make it writable (chmod u+w)";
        return "its folder '" + denial.path + "' belongs to " + denial.owner + " (" + mode +
               "), and the registry writes its journal there: register and remove need " +
               denial.owner + ", or an administrator";
    case Cause::Unknown: break;
    }
    return "register and remove need a user who may change it (an administrator, or the file's "
           "owner)";
}

} // namespace

std::string registryName() { return registryName(Layer::Machine); }

std::string registryName(Layer layer) {
    const std::string name = layer == Layer::User
                                 ? platform::userRegistryLocation(kov::registry::kBrokerKey)
                                 : platform::registryLocation(kov::registry::kBrokerKey);
    return name.empty() ? "(none)" : name;
}

std::string registryProblem(long rc) { return registryProblem(rc, Layer::Machine); }

std::string registryProblem(long rc, Layer layer) {
    const std::string name = std::string(layer == Layer::User ? "the user's registry '"
                                                              : "the registry '") +
                             registryName(layer) + "'";
    switch (rc) {
    case platform::kRegBadPathname:
        return layer == Layer::User
                   ? "no place is known for the user's registry (HOME is not set, or "
                     "KOV_BROKER_USER_REGISTRY is set but empty)"
                   : "KOV_BROKER_REGISTRY is set but empty: it names no registry";
    case platform::kRegBadDatabase: return name + " is not a registry database";
    case platform::kRegNotAFile: return name + " is a folder, not a registry file";
    case platform::kRegAccessDenied: return name + " cannot be read: access denied";
    case platform::kRegBusy: return name + " is locked by another process";
    default: return name + " cannot be read (error " + std::to_string(rc) + ")";
    }
}

bool registryUsable(std::uint32_t timeoutMs, std::string& problem) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    platform::setRegistryWait(std::min(timeoutMs, kQuietWaitMs));
    long rc = probeRegistry();
    if (rc == platform::kRegBusy && timeoutMs > kQuietWaitMs) {
        std::fprintf(stderr,
                     "kovctl: waiting for another process to release the registry '%s' "
                     "(up to --timeout, %lu ms)\n",
                     registryName().c_str(), static_cast<unsigned long>(timeoutMs));
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        const std::uint64_t spent = static_cast<std::uint64_t>(waited.count());
        platform::setRegistryWait(spent < timeoutMs ? static_cast<std::uint32_t>(timeoutMs - spent) : 0);
        rc = probeRegistry();
    }
    platform::setRegistryWait(timeoutMs);
    if (rc == platform::kRegOk) return true;
    problem = registryProblem(rc);
    if (rc == platform::kRegBusy)
        problem += " and stayed locked for " + std::to_string(timeoutMs) +
                   " ms (--timeout); try again later, or wait longer with --timeout";
    return false;
}

std::string writeAccessProblem() { return writeAccessProblem(Layer::Machine); }

std::string writeAccessProblem(Layer layer) {
    const std::string keys =
        std::string(kov::registry::kBrokerKey) + "\\" + kov::registry::kProviderListKey;
    if (layer == Layer::User) {
        // Writing where this process would not read (elevated, or another user may write it) is
        // refused for the same reason.
        const std::string unused = userLayerUnused();
        if (!unused.empty()) return unused;
        const long rc = platform::checkWriteAccess(platform::currentUserKey(), keys.c_str());
        return rc == platform::kRegOk ? std::string() : registryProblem(rc, layer);
    }
    const long rc = platform::checkWriteAccess(platform::localMachineKey(), keys.c_str());
    if (rc == platform::kRegOk) return {};
    if (rc != platform::kRegAccessDenied) return registryProblem(rc);
    return "no write access to the registry '" + registryName() + "': " +
           deniedBecause(platform::registryWriteDenial());
}

std::string missingRegistry() {
    const char* named = std::getenv("KOV_BROKER_REGISTRY");
    return "the registry '" + registryName() + "' does not exist: nothing was ever registered " +
           (named != nullptr && *named != '\0' ? "there (is KOV_BROKER_REGISTRY the file you meant?)"
                                               : "there") +
           "; `kovctl register` creates it";
}

} // namespace kovctl

#include "module.h"

#include "platform/platform.h"

#include <cstdlib>
#include <fstream>

#ifndef KOVCTL_MODULE_FILE
#error "KOVCTL_MODULE_FILE must name the broker module's file (set by the build)"
#endif

namespace kovctl {

std::string modulePathFor(const std::string& explicitPath) {
    if (!explicitPath.empty()) return explicitPath;
    const char* fromEnvironment = std::getenv("KOV_BROKER_MODULE");
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
    // Without a folder, dlopen would search the library path instead of our own folder. In a build
    // tree the module sits beside kovctl; installed on Linux it sits in lib/ beside bin/.
    const std::string beside = kov::platform::programDirectory() + KOVCTL_MODULE_FILE;
    const std::string installed = kov::platform::programDirectory() + "../lib/" + KOVCTL_MODULE_FILE;
    return std::ifstream(beside).good() || !std::ifstream(installed).good() ? beside : installed;
}

bool loadBroker(const std::string& path, BrokerApi& api, std::string& error) {
    kov::platform::ModuleHandle module = kov::platform::loadLibrary(path.c_str());
    if (module == nullptr) {
        char reason[512];
        kov::platform::lastLoadFailure(reason, sizeof reason);
        error = "cannot load the broker module '" + path + "'" +
                (reason[0] != '\0' ? std::string(": ") + reason : std::string());
        return false;
    }
    const auto find = [&](const char* name) { return kov::platform::findSymbol(module, name); };
    void* send = find("kov_Send");
    void* sendSync = find("kov_SendSync");
    void* deleteConfirm = find("kov_DeleteConfirm");
    if (send == nullptr || sendSync == nullptr || deleteConfirm == nullptr) {
        kov::platform::freeLibrary(module);
        error = "'" + path + "' lacks the broker's exports (kov_Send, kov_SendSync, kov_DeleteConfirm)";
        return false;
    }
    api.send = reinterpret_cast<SendFn>(send);
    api.sendSync = reinterpret_cast<SendSyncFn>(sendSync);
    api.deleteConfirm = reinterpret_cast<DeleteConfirmFn>(deleteConfirm);
    return true;
}

} // namespace kovctl

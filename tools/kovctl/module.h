// Finding and loading the broker module, the way any caller does: by path, at run time.
#pragma once

#include <kov/kov_broker.h>

#include <string>

namespace kovctl {

using SendFn = int32_t(KOV_CALL*)(BrokerMessage*);
using SendSyncFn = int32_t(KOV_CALL*)(BrokerMessage*, BrokerMessage**);
using DeleteConfirmFn = int32_t(KOV_CALL*)(BrokerMessage*);

struct BrokerApi {
    SendFn send = nullptr;
    SendSyncFn sendSync = nullptr;
    DeleteConfirmFn deleteConfirm = nullptr;
};

// The module to load: `explicitPath` when given, else $KOV_BROKER_MODULE, else the module file
// beside this program (or, as installed on Linux, in ../lib/).
std::string modulePathFor(const std::string& explicitPath);

// Loads the module at `path` and finds its three exports. The module stays loaded for the rest
// of the process: providers may still run threads that call back into it. On failure `error`
// says what went wrong.
bool loadBroker(const std::string& path, BrokerApi& api, std::string& error);

} // namespace kovctl

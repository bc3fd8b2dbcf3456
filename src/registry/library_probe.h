// Loading a provider library exactly as the broker does, and saying why not when it fails. The
// broker loads through it; kovctl inspects files through it, so both give the same verdict.
#pragma once

#include "message/reply_records.h"
#include "platform/platform.h"

#include <kov/kov_broker.h>

#include <cstddef>

namespace kov::registry {

constexpr std::size_t kProbeReasonChars = 640;

struct LibraryProbe {
    platform::ModuleHandle module = nullptr;
    KovDeleteReceiveFn deleteEntry = nullptr;
    KovReceiveFn receiveEntry = nullptr;
    KovGetSubSystemInfoFn infoEntry = nullptr;
    BrokerMessage* block = nullptr; // the provider's; goes back through returnInfoBlock
    message::InfoBlock info{};      // the checked block
    char reason[kProbeReasonChars] = "";
};

// Loads `path`, finds the three entry points, asks for the information block and checks it. True
// when the broker would accept the library: the module and the block are then held. Otherwise
// nothing is held and `reason` says what failed (the loader's text, the missing entry point, or
// the rule the block broke with its field and payload offset).
bool probeLibrary(const char* path, LibraryProbe& probe);

// Hands a held block back to the provider; the module stays loaded.
void returnInfoBlock(LibraryProbe& probe);

} // namespace kov::registry

// Writes the information block of each provider library given into DIR, one file per library,
// header included: the info block fuzzer's seeds come from the test providers themselves, damaged
// ones included (their blocks are dumped whether or not the broker would accept them).
#include "platform/platform.h"

#include <kov/kov_broker.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: dump_info_seeds DIR LIBRARY...\n");
        return 1;
    }
    int written = 0;
    for (int i = 2; i < argc; ++i) {
        kov::platform::ModuleHandle module = kov::platform::loadLibrary(argv[i]);
        if (module == nullptr) continue;
        const auto info = reinterpret_cast<KovGetSubSystemInfoFn>(
            kov::platform::findSymbol(module, "kov_GetSubSystemInfo"));
        const auto release = reinterpret_cast<KovDeleteReceiveFn>(
            kov::platform::findSymbol(module, "kov_DeleteReceive"));
        BrokerMessage* block = info != nullptr ? info() : nullptr;
        if (block != nullptr && block->totalLength >= KOV_HEADER_SIZE) {
            // The test providers fill totalLength; it bounds what is read here.
            const std::string name = std::string(argv[1]) + "/block_" + std::to_string(i);
            if (std::FILE* out = std::fopen(name.c_str(), "wb")) {
                std::fwrite(block, 1, block->totalLength, out);
                std::fclose(out);
                ++written;
            }
        }
        if (block != nullptr && release != nullptr) release(block);
        kov::platform::freeLibrary(module);
    }
    std::printf("%d seeds written\n", written);
    return 0;
}

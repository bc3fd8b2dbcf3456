// kov_test_registry_writer KEY PATH...: writes the libraries PATH under the provider key KEY of
// the registry every process uses, as an administrator's tool would, without loading them: the
// way a library that crashes whatever loads it gets into a registry.
#include "platform/platform.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    namespace platform = kov::platform;
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s KEY PATH...\n", argv[0]);
        return 2;
    }
    const std::string name = std::string("Software\\KOV_Broker\\Provider List\\") + argv[1];
    platform::RegKey key = nullptr;
    long rc = platform::createKey(platform::localMachineKey(), name.c_str(), nullptr, &key, nullptr);
    for (int i = 2; rc == platform::kRegOk && i < argc; ++i) rc = platform::setDwordValue(key, argv[i], 0);
    if (key != nullptr) platform::closeKey(key);
    if (rc != platform::kRegOk) std::fprintf(stderr, "registry writer: error %ld\n", rc);
    return rc == platform::kRegOk ? 0 : 1;
}

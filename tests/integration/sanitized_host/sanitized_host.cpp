// A host built with AddressSanitizer that loads the release module with dlopen, then starts
// threads that call every export. Hosts test themselves this way; the module must not keep them
// from starting threads (its thread-locals come from the loader's small static TLS reserve, and
// AddressSanitizer's 32-bit runtime cannot start a thread once that overflows).
// Usage: kov_test_sanitized_host MODULE. Exit status 0 when every thread ran.
#include <kov/kov_broker.h>

#include <dlfcn.h>

#include <cstdio>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kov_test_sanitized_host MODULE\n");
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
        return 1;
    }
    using Send = int32_t(KOV_CALL*)(BrokerMessage*);
    using SendSync = int32_t(KOV_CALL*)(BrokerMessage*, BrokerMessage**);
    const auto send = reinterpret_cast<Send>(dlsym(module, "kov_Send"));
    const auto sendSync = reinterpret_cast<SendSync>(dlsym(module, "kov_SendSync"));
    const auto deleteConfirm = reinterpret_cast<Send>(dlsym(module, "kov_DeleteConfirm"));
    if (send == nullptr || sendSync == nullptr || deleteConfirm == nullptr) {
        std::fprintf(stderr, "an export is missing\n");
        return 1;
    }
    // Refused calls (null requests) still enter every export's guard, which reads the
    // module's thread-locals.
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            BrokerMessage* confirm = nullptr;
            send(nullptr);
            sendSync(nullptr, &confirm);
            deleteConfirm(nullptr);
        });
    for (std::thread& thread : threads) thread.join();
    std::puts("every thread ran");
    return 0;
}

// kov_test_exit_hand_back: a thread ends just as the process exits. The thread's exit hook in the
// broker gives its slot back, closing the slot's wait event, while exit() detaches the module.
// The broker's events are condition variables, and this program defines pthread_cond_destroy:
// it holds the ending thread inside the event's destructor while main calls exit(), so the
// detach runs beside it. The event must be closed once: exit status 1 (and a line) when the
// detach closes the event the ending thread is closing; 0 when it leaves it alone. 3 and 4: the
// module or an export could not be loaded; 5: the thread's event was never closed.
#include "integration/program_request.h"

#include <kov/kov_broker.h>

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

std::atomic<pthread_cond_t*> held{nullptr}; // the event the ending thread is destroying
thread_local bool ending = false;

std::int32_t KOV_CALL dropConfirm(BrokerMessage*) { return 0; }

} // namespace

extern "C" __attribute__((visibility("default"))) int pthread_cond_destroy(pthread_cond_t* cond) {
    static const auto real =
        reinterpret_cast<int (*)(pthread_cond_t*)>(dlsym(RTLD_NEXT, "pthread_cond_destroy"));
    if (ending) {
        held = cond;
        // Long enough for main to exit and the detach to run; the process usually ends first.
        std::this_thread::sleep_for(std::chrono::seconds(5));
    } else if (cond == held.load()) {
        std::fprintf(stderr, "the ending thread's wait event was closed twice: by the thread's "
                             "exit hook and by the module's detach\n");
        std::fflush(stderr);
        _exit(1);
    }
    return real(cond);
}

int main() {
    void* module = dlopen(KOV_TEST_DIR KOV_TEST_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) return 3;
    using SendSync = int32_t(KOV_CALL*)(BrokerMessage*, BrokerMessage**);
    using DeleteConfirm = int32_t(KOV_CALL*)(BrokerMessage*);
    const auto sendSync = reinterpret_cast<SendSync>(dlsym(module, "kov_SendSync"));
    const auto deleteConfirm = reinterpret_cast<DeleteConfirm>(dlsym(module, "kov_DeleteConfirm"));
    if (sendSync == nullptr || deleteConfirm == nullptr) return 4;
    // A synchronous call gives the thread its wait event; the thread then ends.
    std::thread([sendSync, deleteConfirm] {
        BrokerMessage request =
            kov::test::headerRequest(KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_GET_LANGUAGE, dropConfirm);
        BrokerMessage* confirm = nullptr;
        sendSync(&request, &confirm);
        if (confirm != nullptr) deleteConfirm(confirm);
        ending = true;
    }).detach();
    for (int waited = 0; held.load() == nullptr; ++waited) {
        if (waited == 60000) {
            std::fprintf(stderr, "the ending thread never closed its wait event\n");
            return 5;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::exit(0);
}

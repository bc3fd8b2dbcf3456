// kov_test_exit_race: a program that ends with exit() while threads are inside the broker,
// sending to handle 0 and releasing what comes back (a release of a broker-built confirm reads the
// broker's tracking of them), and while short-lived threads that made a synchronous call end (the
// broker's thread-exit hook gives their slots back). The module's detach then runs beside those
// threads, or on Windows after the system has stopped them wherever they were; the program must
// still end cleanly (exit code 0, and no sanitizer report). The delay before exit() in
// microseconds, counted from when every thread is releasing, is the first argument.
#include "integration/program_request.h"
#include "platform/platform.h"

#include <kov/kov_broker.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using SendFn = std::int32_t(KOV_CALL*)(BrokerMessage*);
using DeleteConfirmFn = std::int32_t(KOV_CALL*)(BrokerMessage*);

SendFn send = nullptr;
DeleteConfirmFn deleteConfirm = nullptr;
// The broker provider answers on the sending thread: the confirm is kept there, released later.
thread_local BrokerMessage* kept = nullptr;
std::int32_t KOV_CALL keepHere(BrokerMessage* confirm) {
    kept = confirm;
    return confirm != nullptr ? 1 : 0;
}

std::atomic<int> releasing{0};

// Sends a large batch, keeping every confirm, then releases it: exit() comes while the threads
// release (they pin nothing of the provider list then, which once let the detach free the
// tracking of broker-built confirms under them). Then sends and releases by turns until the end.
void sendAndRelease() {
    std::vector<BrokerMessage*> batch;
    for (int size = 20000;; size = 200) {
        batch.reserve(size);
        for (int n = 0; n < size; ++n) {
            BrokerMessage request = kov::test::headerRequest(
                KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_GET_LANGUAGE, keepHere);
            kept = nullptr;
            send(&request);
            if (kept != nullptr) batch.push_back(kept);
        }
        if (size != 200) ++releasing;
        for (BrokerMessage* confirm : batch) deleteConfirm(confirm);
        batch.clear();
    }
}

using SendSyncFn = std::int32_t(KOV_CALL*)(BrokerMessage*, BrokerMessage**);
SendSyncFn sendSync = nullptr;

// Threads that make one synchronous call (which gives their slot a wait event) and end.
void startAndEndThreads() {
    for (;;)
        std::thread([] {
            BrokerMessage request =
                kov::test::headerRequest(KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_GET_LANGUAGE);
            BrokerMessage* confirm = nullptr;
            sendSync(&request, &confirm);
            if (confirm != nullptr) deleteConfirm(confirm);
        }).join();
}

} // namespace

int main(int argc, char** argv) {
    const long delay = argc > 1 ? std::atol(argv[1]) : 1000;
    const kov::platform::ModuleHandle module =
        kov::platform::loadLibrary(KOV_TEST_DIR KOV_TEST_MODULE_FILE);
    if (module == nullptr) return 3;
    send = reinterpret_cast<SendFn>(kov::platform::findSymbol(module, "kov_Send"));
    sendSync = reinterpret_cast<SendSyncFn>(kov::platform::findSymbol(module, "kov_SendSync"));
    deleteConfirm = reinterpret_cast<DeleteConfirmFn>(kov::platform::findSymbol(module, "kov_DeleteConfirm"));
    if (send == nullptr || sendSync == nullptr || deleteConfirm == nullptr) return 4;
    // Where exit() stops the other threads before the detach (Windows), one thread meets it at
    // every stage of its calls as well as six would. More would only contend for the process
    // heap, and Wine, which runs the Windows tests, hangs in its own exit code when it has
    // stopped a thread inside its lock bookkeeping.
    const bool stopped = kov::platform::exitStopsOtherThreads();
    const int threads = stopped ? 1 : 6;
    for (int i = 0; i < threads; ++i) std::thread(sendAndRelease).detach();
    if (!stopped) std::thread(startAndEndThreads).detach();
    while (releasing.load() < threads) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(delay));
    std::exit(0);
}

// What the crash marks cost the first send of a process with 10 providers: before loading each
// library the broker writes a loading mark into the user's state folder and removes it once the
// library is described (registry/crash_marks.h). Each round loads the module afresh (its attach
// starts over as in a new process), times its first request (ListSubsystems, which loads the 10
// providers) and frees it, with the marks kept in a scratch folder or, without any state folder,
// not kept at all; the two kinds of round alternate, and each figure is the median of its rounds.
//
//   kov_first_send_timing [rounds]     (default 41; 2 ms more with the marks is the target)
#include "bench_kit.h"

#include "registry/crash_marks.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned kProviders = 10;

// putenv keeps the text it is given: one buffer per variable, for good.
void setVariable(std::string& buffer, const char* name, const std::string& value) {
    buffer = std::string(name) + "=" + value;
    putenv(buffer.data());
}

// Either a scratch state folder, or none at all: every variable the state folder comes from
// emptied (an empty one names no folder).
void useStateFolder(const std::string& folder) {
    static std::string buffers[5];
    const char* names[] = {"KOV_BROKER_STATE_DIR", "XDG_STATE_HOME", "HOME", "LOCALAPPDATA",
                           "USERPROFILE"};
    setVariable(buffers[0], names[0], folder);
    if (folder.empty())
        for (int i = 1; i < 5; ++i) setVariable(buffers[i], names[i], "");
}

// Milliseconds of the first request of a freshly loaded module; negative when it went wrong.
double firstSend() {
    const std::string path = kov::platform::programDirectory() + KOV_BENCH_MODULE_FILE;
    const kov::platform::ModuleHandle module = kov::platform::loadLibrary(path.c_str());
    if (module == nullptr) return -1;
    const auto sendSync = reinterpret_cast<bench::SendSyncFn>(
        kov::platform::findSymbol(module, "kov_SendSync"));
    const auto deleteConfirm = reinterpret_cast<bench::DeleteConfirmFn>(
        kov::platform::findSymbol(module, "kov_DeleteConfirm"));
    double ms = -1;
    if (sendSync != nullptr && deleteConfirm != nullptr) {
        BrokerMessage request{};
        request.totalLength = sizeof request;
        request.formatMajor = 1;
        request.headerLength = sizeof request;
        request.setMajor = 1;
        request.functionCode = KOV_FN_LIST_SUBSYSTEMS;
        BrokerMessage* confirm = nullptr;
        const auto start = std::chrono::steady_clock::now();
        sendSync(&request, &confirm);
        const auto end = std::chrono::steady_clock::now();
        // The broker's own provider and the 10 libraries, or the figure is worthless.
        std::uint32_t listed = 0;
        if (confirm != nullptr && confirm->totalLength >= confirm->headerLength + 20)
            std::memcpy(&listed, reinterpret_cast<const std::uint8_t*>(confirm) +
                                     confirm->headerLength + 16, 4);
        if (listed == kProviders + 1)
            ms = std::chrono::duration<double, std::milli>(end - start).count();
        if (confirm != nullptr) deleteConfirm(confirm);
    }
    kov::platform::freeLibrary(module);
    return ms;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    unsigned rounds = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 41;
    if (rounds == 0) rounds = 41;
    const bench::ProviderList list("first_send", bench::kLibraries, kProviders);
    if (!list.written()) return 1;
    const char* tmp = std::getenv("TMPDIR");
    const std::string marks = kov::platform::joinPath(
        tmp != nullptr && *tmp != '\0' ? tmp : kov::platform::programDirectory(),
        "kov_first_send_state_" + std::to_string(kov::platform::currentProcessId()));
    std::vector<double> with, without;
    // A warm-up of each kind: the libraries' files in the cache, the folder made once.
    for (unsigned round = 0; round < rounds + 1; ++round) {
        useStateFolder(marks);
        const double kept = firstSend();
        useStateFolder("");
        const double none = firstSend();
        if (kept < 0 || none < 0) {
            std::fprintf(stderr, "kov_first_send_timing: a first send went wrong\n");
            return 1;
        }
        if (round == 0) continue;
        with.push_back(kept);
        without.push_back(none);
        std::fprintf(stderr, "\rbench: round %u of %u", round, rounds);
    }
    std::fprintf(stderr, "\n");
    // Nothing is left in the marks' folders: take them away.
    useStateFolder(marks);
    const std::string registryMarks = kov::registry::CrashMarks::folderForRegistry();
    kov::platform::removeEmptyFolder(registryMarks);
    kov::platform::removeEmptyFolder(kov::platform::joinPath(marks, "crash-marks"));
    kov::platform::removeEmptyFolder(marks);
    const double a = median(without), b = median(with);
    std::printf("first send, %u providers, no crash marks   %8.3f ms\n", kProviders, a);
    std::printf("first send, %u providers, with crash marks %8.3f ms\n", kProviders, b);
    std::printf("crash marks cost                          %8.3f ms (target: at most 2 ms)\n",
                b - a);
    return 0;
}

// The broker's own instructions per request, counted by callgrind or, where valgrind cannot run
// 32-bit programs, by qemu-i386 with the kov_count plugin (the same count on every run of the
// same binaries, unlike a time), and checked against bench/instruction_ceilings.txt.
//
// Run: build/linux/bin/kov_send_instructions [--ceilings FILE] [--requests N] [--keep]
//                                            [--counter callgrind|qemu]
// (--keep leaves the counts behind: callgrind's dumps, one per figure, for callgrind_annotate)
// Exit status: 0 every figure within its ceiling; 1 a figure above its ceiling, or the
// measurement failed; 77 skipped, because neither counter can run 32-bit programs here.
//
// The program starts itself under the counter once per set-up (one provider; 10,000 providers),
// after writing the set-up's provider list. Counting is on only inside the module's exports
// and off again inside the provider's kov_Receive and kov_DeleteReceive and the caller's
// callback (callgrind's --toggle-collect, or kov_count's toggles: each entry and exit of these
// flips it). The provider calls every callback through kov_bench_CallBack, which flips it back
// on, so that kov_SendSync's own completion counts as the broker's; that routine's few
// instructions are measured alone and taken off. Each figure is the mean over many requests
// after a warm-up, dumped by a client request (callgrind) or kov_count's system call and read
// back from the dump.
#include "bench_kit.h"

#include "qemu_count/kov_count.h"

#include <valgrind/callgrind.h>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr int kSkipped = 77;
constexpr const char* kLabel = "kov-figure";
constexpr unsigned kWarmUp = 2000;

// ---- under a counter: the measurements -----------------------------------------------------

using CallBackFn = std::int32_t(KOV_CALL*)(ConfirmCallback, BrokerMessage*);

struct Figure {
    const char* name;
    bench::Operation operation;
    bench::Target target;
    unsigned callBacks; // kov_bench_CallBack runs per request, with counting on
};

bool keepAlone(bench::Request& request, const bench::Target&) {
    request.confirm = nullptr;
    return bench::kov_bench_KeepConfirm(request.message()) == 1 && request.confirm != nullptr;
}

CallBackFn callBack = nullptr;
bool callBackAlone(bench::Request& request, const bench::Target&) {
    request.confirm = nullptr;
    return callBack(bench::kov_bench_KeepConfirm, request.message()) == 1 &&
           request.confirm != nullptr;
}

// Under qemu-i386 with kov_count: the plugin's file, to which each figure's label is appended
// here just before the plugin appends its count. Empty under callgrind.
std::string countsFile;

long countCall(int op, std::uintptr_t argument = 0) {
    return syscall(KOV_COUNT_SYSCALL, op, argument);
}

void zeroCount() {
    if (countsFile.empty())
        CALLGRIND_ZERO_STATS;
    else
        countCall(KOV_COUNT_ZERO);
}

bool dumpCount(const std::string& label) {
    if (countsFile.empty()) {
        CALLGRIND_DUMP_STATS_AT(label.c_str());
        return true;
    }
    const std::string line = label + "\n";
    const int fd = open(countsFile.c_str(), O_WRONLY | O_APPEND);
    const bool written =
        fd >= 0 && write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (fd >= 0) close(fd);
    countCall(KOV_COUNT_DUMP);
    return written;
}

bool measure(const Figure& figure, unsigned requests) {
    bench::Request request;
    bench::prepare(request, figure.target);
    for (unsigned i = 0; i < kWarmUp; ++i)
        if (!figure.operation(request, figure.target)) return false;
    zeroCount();
    for (unsigned i = 0; i < requests; ++i)
        if (!figure.operation(request, figure.target)) return false;
    return dumpCount(std::string(kLabel) + " " + figure.name + " " + std::to_string(requests) +
                     " " + std::to_string(figure.callBacks));
}

// kov_count is told by address the functions callgrind is told by name (--toggle-collect in
// measureGroup): the module's exports, the caller's callback, and in every provider library
// kov_Receive, kov_DeleteReceive and kov_bench_CallBack.
void toggleForQemu(const bench::LoadedBroker& broker,
                   const std::vector<kov::platform::ModuleHandle>& libraries) {
    const bench::Exports& exports = *broker.library(0).broker;
    const auto toggle = [](auto function) {
        countCall(KOV_COUNT_TOGGLE, reinterpret_cast<std::uintptr_t>(function));
    };
    toggle(exports.send);
    toggle(exports.sendSync);
    toggle(exports.deleteConfirm);
    toggle(&bench::kov_bench_KeepConfirm);
    for (unsigned i = 0; i < libraries.size(); ++i) {
        toggle(broker.library(i).receive);
        toggle(broker.library(i).deleteReceive);
        toggle(kov::platform::findSymbol(libraries[i], "kov_bench_CallBack"));
    }
}

int measureUnderCounter(const std::string& group, unsigned requests) {
    if (countsFile.empty() && !RUNNING_ON_VALGRIND) {
        std::fprintf(stderr, "--measure runs under a counter only; run the program without it\n");
        return 1;
    }
    const bool many = group == "many";
    const unsigned libraryCount = many ? bench::kLibraries : 1;
    const bench::LoadedBroker broker(libraryCount, many ? bench::kManyProviders : 1);
    if (!broker.ready()) return 1;
    std::vector<kov::platform::ModuleHandle> libraries;
    for (unsigned i = 0; i < libraryCount; ++i) {
        libraries.push_back(kov::platform::loadLibrary(bench::libraryPath(i).c_str()));
        if (kov::platform::findSymbol(libraries.back(), "kov_bench_CallBack") == nullptr) {
            std::fprintf(stderr, "no kov_bench_CallBack in %s\n", bench::libraryPath(i).c_str());
            return 1;
        }
    }
    callBack = reinterpret_cast<CallBackFn>(
        kov::platform::findSymbol(libraries[0], "kov_bench_CallBack"));
    std::vector<Figure> figures;
    if (many) {
        figures.push_back({"async_10000_providers", bench::sendAndDelete, broker.farthest(), 1});
    } else {
        const bench::Target& provider = broker.library(0);
        figures = {
            {"async", bench::sendAndDelete, provider, 1},
            {"sync", bench::sendSyncAndDelete, provider, 1},
            {"unknown_handle", bench::sendAndDelete, broker.unknownHandle(), 0},
            {"get_language", bench::sendAndDelete,
             broker.brokerProvider(KOV_COMMON_FUNCTION_SET, KOV_COMMON_FN_GET_LANGUAGE), 0},
            {"broker_info", bench::sendAndDelete,
             broker.brokerProvider(KOV_BROKER_FUNCTION_SET, KOV_FN_GET_BROKER_INFO), 0},
            {"direct", bench::directCall, provider, 0},
            {"keep_confirm", keepAlone, provider, 0},
        };
    }
    figures.push_back({"call_back", callBackAlone, broker.library(0), 0});
    // The loading above ran uninstrumented, at a fraction of callgrind's cost; kov_count looks
    // at nothing until it has functions to toggle at.
    if (countsFile.empty())
        CALLGRIND_START_INSTRUMENTATION;
    else
        toggleForQemu(broker, libraries);
    for (const Figure& figure : figures) {
        if (!measure(figure, requests)) {
            std::fprintf(stderr, "%s: a request went wrong\n", figure.name);
            return 1;
        }
    }
    if (countsFile.empty()) CALLGRIND_STOP_INSTRUMENTATION;
    for (kov::platform::ModuleHandle library : libraries) kov::platform::freeLibrary(library);
    return 0;
}

// ---- the driver ------------------------------------------------------------------------

struct Counted {
    double instructions = 0; // collected, over all requests
    unsigned requests = 0;
    unsigned callBacks = 0;
};

std::string selfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = '\0';
    return path;
}

// Runs a program and waits for it, for at most `timeout`; its exit status, or -1 when it could
// not be started, was killed or ran out of time. stdout and stderr are the caller's unless
// `quiet`.
int run(const std::vector<std::string>& command, std::chrono::seconds timeout, bool quiet) {
    std::vector<char*> argv;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    const auto end = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            std::fprintf(stderr, "%s: no end after %lld s, stopped\n", argv[0],
                         static_cast<long long>(timeout.count()));
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What counts the instructions: callgrind, or qemu-i386 with the kov_count plugin where
// valgrind cannot run 32-bit programs.
enum class Counter { callgrind, qemu };

const char* counterName(Counter counter) {
    return counter == Counter::callgrind ? "callgrind" : "qemu-i386 with kov_count";
}

std::string pluginPath() { return kov::platform::programDirectory() + "libkov_count.so"; }

bool keepCounts = false; // --keep: for callgrind_annotate, to see where the instructions go

// Figures out of callgrind's dumps, one file per dump.
bool readDump(const std::string& path, std::map<std::string, Counted>& out) {
    std::ifstream file(path);
    const std::string trigger = std::string("desc: Trigger: Client Request: ") + kLabel + " ";
    std::string line, name;
    Counted counted;
    bool labelled = false, totalled = false;
    while (std::getline(file, line)) {
        if (line.compare(0, trigger.size(), trigger) == 0) {
            std::istringstream fields(line.substr(trigger.size()));
            labelled = static_cast<bool>(fields >> name >> counted.requests >> counted.callBacks);
        } else if (line.compare(0, 9, "summary: ") == 0) {
            // What was collected; the "totals:" line adds up the file's cost lines, which
            // count some costs twice.
            counted.instructions = std::strtod(line.c_str() + 9, nullptr);
            totalled = true;
        }
    }
    if (labelled && totalled && counted.requests > 0) out[name] = counted;
    return true;
}

// Figures out of kov_count's file: each figure's label, then the plugin's count below it.
bool readCountFile(const std::string& path, std::map<std::string, Counted>& out) {
    std::ifstream file(path);
    const std::string label = std::string(kLabel) + " ";
    const char* const uncounted = "a figure without its count: did qemu-i386 load libkov_count.so?";
    std::string line, name;
    Counted counted;
    bool labelled = false; // its count is the next line
    const char* why = nullptr;
    while (why == nullptr && std::getline(file, line)) {
        if (line.compare(0, 6, "error ") == 0) {
            why = line.c_str() + 6;
        } else if (line.compare(0, 13, "instructions ") == 0) {
            if (!labelled) why = "a count without its figure";
            counted.instructions = std::strtod(line.c_str() + 13, nullptr);
            out[name] = counted;
            labelled = false;
        } else if (labelled) {
            why = uncounted;
        } else {
            std::istringstream fields(line.compare(0, label.size(), label) == 0
                                          ? line.substr(label.size())
                                          : std::string());
            labelled = fields >> name >> counted.requests >> counted.callBacks &&
                       counted.requests > 0;
            if (!labelled) why = "a line out of place";
        }
    }
    if (why == nullptr && labelled) why = uncounted;
    if (why != nullptr) std::fprintf(stderr, "kov_count: %s\n", why);
    return why == nullptr;
}

// Reads the counter's files in `folder`, then deletes them unless --keep.
bool readCounts(const std::string& folder, Counter counter, std::map<std::string, Counted>& out) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return false;
    bool read = true;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string path = folder + "/" + entry->d_name;
        read = (counter == Counter::callgrind ? readDump(path, out) : readCountFile(path, out)) &&
               read;
        if (!keepCounts) std::remove(path.c_str());
    }
    closedir(dir);
    if (!keepCounts)
        rmdir(folder.c_str());
    else if (counter == Counter::callgrind)
        std::fprintf(stderr,
                     "callgrind's dumps kept in %s (callgrind_annotate --inclusive=yes FILE)\n",
                     folder.c_str());
    else
        std::fprintf(stderr, "kov_count's counts kept in %s\n", folder.c_str());
    return read;
}

// Writes the set-up's provider list, runs the measurements of `group` under the counter, and
// collects their counts.
bool measureGroup(const std::string& self, Counter counter, const char* group, unsigned libraries,
                  unsigned keys, unsigned requests, std::map<std::string, Counted>& out) {
    std::fprintf(stderr, "kov_send_instructions: %u provider(s), writing the list...\n", keys);
    const bench::ProviderList list((std::string("instructions_") + group).c_str(), libraries, keys);
    if (!list.written()) return false;
    const char* tmp = std::getenv("TMPDIR");
    std::string folder =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kov_count_XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
        std::fprintf(stderr, "cannot make a folder for the counts: %s\n", std::strerror(errno));
        return false;
    }
    const std::string counts = folder + "/counts"; // kov_count's
    std::vector<std::string> command;
    if (counter == Counter::callgrind) {
        command = {
            "valgrind", "-q", "--tool=callgrind", "--instr-atstart=no", "--collect-atstart=no",
            // On inside the exports, off inside the provider's entries and the caller's
            // callback, on again for any callback the provider calls (the broker's own, or the
            // caller's, which turns it off again). toggleForQemu names the same functions.
            "--toggle-collect=kov_Send", "--toggle-collect=kov_SendSync",
            "--toggle-collect=kov_DeleteConfirm", "--toggle-collect=kov_Receive",
            "--toggle-collect=kov_DeleteReceive", "--toggle-collect=kov_bench_CallBack",
            "--toggle-collect=kov_bench_KeepConfirm",
            "--callgrind-out-file=" + folder + "/callgrind.out"};
    } else {
        std::ofstream(counts).close(); // the program appends its labels to it
        command = {"qemu-i386", "-plugin", pluginPath() + ",out=" + counts};
    }
    command.insert(command.end(), {self, "--measure", group, "--requests",
                                   std::to_string(requests)});
    if (counter == Counter::qemu) command.insert(command.end(), {"--counts", counts});
    std::fprintf(stderr, "kov_send_instructions: loading and counting under %s...\n",
                 counterName(counter));
    const int status = run(command, std::chrono::seconds(1800), false);
    const bool read = readCounts(folder, counter, out);
    if (status != 0) {
        std::fprintf(stderr, "the measurement under %s failed (exit %d)\n", counterName(counter),
                     status);
        return false;
    }
    return read;
}

struct Ceiling {
    std::string name;
    double limit = 0; // instructions, or a percentage of `base`
    std::string base; // empty: an absolute ceiling
};

// Lines "figure ceiling" or "figure percent% base-figure"; '#' starts a comment.
bool readCeilings(const std::string& path, std::vector<Ceiling>& out) {
    std::ifstream file(path);
    if (!file) {
        std::fprintf(stderr, "cannot read the ceilings, %s\n", path.c_str());
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        line = line.substr(0, line.find('#'));
        std::istringstream fields(line);
        Ceiling ceiling;
        std::string limit;
        if (!(fields >> ceiling.name)) continue;
        char* end = nullptr;
        if (fields >> limit) ceiling.limit = std::strtod(limit.c_str(), &end);
        const bool percent = end != nullptr && *end == '%' && end[1] == '\0';
        const bool plain = end != nullptr && *end == '\0' && end != limit.c_str();
        if (percent && !(fields >> ceiling.base)) end = nullptr;
        if (end == nullptr || !(percent || plain) || ceiling.limit <= 0) {
            std::fprintf(stderr, "%s:%d: expected \"figure ceiling\" or \"figure N%% figure\"\n",
                         path.c_str(), number);
            return false;
        }
        out.push_back(ceiling);
    }
    return true;
}

// Why qemu-i386 cannot count here, or nothing when it can.
std::string qemuCannotCount(const std::string& self) {
    const std::string plugin = pluginPath();
    if (run({"qemu-i386", "--version"}, std::chrono::seconds(60), true) != 0)
        return "qemu-i386 (Debian qemu-user) is not installed";
    if (access(plugin.c_str(), R_OK) != 0) return plugin + " was not built";
    // qemu reads the plugin's options from the text after the first comma.
    if (plugin.find(',') != std::string::npos) return plugin + " has a comma in its path";
    if (run({"qemu-i386", "-plugin", plugin + ",out=/dev/null", self, "--probe"},
            std::chrono::seconds(120), true) != 0)
        return "qemu-i386 does not load " + plugin;
    return "";
}

constexpr int kChosen = -1;

// Picks the counter (`wanted`, or callgrind where valgrind runs 32-bit programs and kov_count
// where it cannot); kChosen, or the exit status when neither can count.
int chooseCounter(const std::string& self, const std::string& wanted, Counter& counter) {
    counter = Counter::qemu;
    if (wanted != "qemu") {
        if (run({"valgrind", "--version"}, std::chrono::seconds(60), true) != 0) {
            std::fprintf(stderr, "kov_send_instructions: valgrind is not installed "
                                 "(scripts/install-deps.sh installs it)\n");
            return 1;
        }
        // Where the kernel cannot run 32-bit programs (qemu-user runs them), valgrind cannot
        // either.
        counter = Counter::callgrind;
        if (run({"valgrind", "-q", "--tool=none", self, "--probe"}, std::chrono::seconds(120),
                true) == 0)
            return kChosen;
        if (wanted == "callgrind") {
            std::fprintf(stderr, "kov_send_instructions: valgrind cannot run 32-bit programs on "
                                 "this machine\n");
            return 1;
        }
        counter = Counter::qemu;
    }
    const std::string why = qemuCannotCount(self);
    if (why.empty()) return kChosen;
    if (wanted == "qemu") {
        std::fprintf(stderr, "kov_send_instructions: %s\n", why.c_str());
        return 1;
    }
    std::printf("kov_send_instructions: SKIPPED, valgrind cannot run 32-bit programs on this "
                "machine and %s; the instruction ceilings are not checked here.\n",
                why.c_str());
    return kSkipped;
}

void usage() {
    std::fprintf(stderr, "usage: kov_send_instructions [--ceilings FILE] [--requests N] [--keep]\n"
                         "                             [--counter callgrind|qemu]\n");
}

} // namespace

int main(int argc, char** argv) {
    std::string ceilingsPath = KOV_BENCH_CEILINGS, group, wanted;
    unsigned requests = 20000;
    bool probe = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--probe") {
            probe = true;
        } else if (arg == "--keep") {
            keepCounts = true;
        } else if (i + 1 < argc && arg == "--measure") {
            group = argv[++i];
        } else if (i + 1 < argc && arg == "--counts") {
            countsFile = argv[++i];
        } else if (i + 1 < argc && arg == "--counter") {
            wanted = argv[++i];
        } else if (i + 1 < argc && arg == "--ceilings") {
            ceilingsPath = argv[++i];
        } else if (i + 1 < argc && arg == "--requests") {
            requests = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            usage();
            return 1;
        }
    }
    if (probe) return 0;
    if (requests == 0 || !(wanted.empty() || wanted == "callgrind" || wanted == "qemu")) {
        usage();
        return 1;
    }
    if (!group.empty()) return measureUnderCounter(group, requests);

    std::vector<Ceiling> ceilings;
    if (!readCeilings(ceilingsPath, ceilings)) return 1;
    const std::string self = selfPath();
    Counter counter = Counter::callgrind;
    const int chosen = chooseCounter(self, wanted, counter);
    if (chosen != kChosen) return chosen;
    // The 10,000-key list is written much faster in memory.
    if (std::getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0)
        setenv("TMPDIR", "/dev/shm", 1);

    std::map<std::string, Counted> counted;
    if (!measureGroup(self, counter, "one", 1, 1, requests, counted) ||
        !measureGroup(self, counter, "many", bench::kLibraries, bench::kManyProviders, requests,
                      counted))
        return 1;
    const auto perRequest = [&counted](const std::string& name) {
        const Counted& c = counted[name];
        return c.requests == 0 ? 0.0 : c.instructions / c.requests;
    };
    const double callBackCost = perRequest("call_back");
    // Both routines run with counting on only when the toggles took (the functions were found
    // and nothing was inlined); otherwise every figure is wrong.
    if (callBackCost <= 0 || perRequest("keep_confirm") <= 0 || counted.count("async") == 0) {
        std::fprintf(stderr,
                     "kov_send_instructions: the toggles did not take under %s "
                     "(kov_bench_CallBack %.1f, kov_bench_KeepConfirm %.1f instructions)\n",
                     counterName(counter), callBackCost, perRequest("keep_confirm"));
        return 1;
    }
    std::map<std::string, double> figures;
    for (const auto& [name, c] : counted) {
        if (name == "call_back" || name == "keep_confirm") continue;
        figures[name] = perRequest(name) - callBackCost * c.callBacks;
    }
    figures["direct"] -= perRequest("keep_confirm");

    std::printf("\nThe broker's own instructions per request, the release of its confirm included\n"
                "(%s; the provider's kov_Receive and kov_DeleteReceive and the\n"
                "caller's callback left out; mean of %u requests after %u):\n\n",
                counterName(counter), requests, kWarmUp);
    std::printf("  %-24s %12s %10s\n", "figure", "instructions", "ceiling");
    bool within = true;
    for (const Ceiling& ceiling : ceilings) {
        const auto found = figures.find(ceiling.name);
        if (found == figures.end() || (!ceiling.base.empty() && figures.count(ceiling.base) == 0)) {
            std::printf("  %-24s %12s            no such figure: FAILED\n", ceiling.name.c_str(),
                        "-");
            within = false;
            continue;
        }
        const double limit =
            ceiling.base.empty() ? ceiling.limit : figures[ceiling.base] * ceiling.limit / 100;
        const bool ok = found->second <= limit;
        within = within && ok;
        std::printf("  %-24s %12.1f %10.1f", ceiling.name.c_str(), found->second, limit);
        if (!ceiling.base.empty())
            std::printf(" (%g%% of %s)", ceiling.limit, ceiling.base.c_str());
        std::printf("%s\n", ok ? "  ok" : "  OVER");
    }
    std::printf("\n  for reference, no ceiling:\n");
    std::printf("  %-24s %12.1f  GetBrokerInfo to handle 0\n", "broker_info",
                figures["broker_info"]);
    std::printf("  %-24s %12.1f  the provider's own kov_Receive + kov_DeleteReceive\n", "direct",
                figures["direct"]);
    std::printf("\n%s\n", within
                              ? "Every figure is within its ceiling."
                              : "A figure is above its ceiling (bench/instruction_ceilings.txt).");
    return within ? 0 : 1;
}

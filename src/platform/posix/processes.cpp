// Whether a process that wrote a crash mark still runs: its id, and what tells that run from a
// later process given the same id (the boot, and the start time the kernel counts in ticks since
// boot).
#include "platform/platform.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kov::platform {
namespace {

// A small /proc file, read relative to /proc itself: an emulator that runs this program (qemu-user)
// answers for its own process's "/proc/self" and "/proc/<pid>" names itself, with a start time of
// its own reckoning, while every other process reads the kernel's. Relative to the folder, every
// process reads the kernel's.
bool readProc(const std::string& name, char* buffer, std::size_t size) {
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return false;
    const int fd = openat(proc, name.c_str(), O_RDONLY | O_CLOEXEC);
    close(proc);
    if (fd < 0) return false;
    ssize_t got = 0;
    do got = read(fd, buffer, size - 1);
    while (got < 0 && errno == EINTR);
    close(fd);
    if (got <= 0) return false;
    buffer[got] = '\0';
    return true;
}

struct ProcStat {
    bool found = false;
    char state = '?';
    std::string startTicks;
};

// /proc/<pid>/stat: the command name (field 2) is in parentheses and may hold blanks or
// parentheses itself, so the fields after it are counted from the last ')'.
ProcStat statOf(std::uint32_t pid) {
    ProcStat stat;
    char buffer[1024];
    if (!readProc(std::to_string(pid) + "/stat", buffer, sizeof buffer)) return stat;
    const char* at = std::strrchr(buffer, ')');
    if (at == nullptr) return stat;
    ++at;
    // Field 3 (state) is the first after ')'; field 22 (start time) the twentieth.
    for (int field = 3; field <= 22; ++field) {
        while (*at == ' ') ++at;
        const char* end = at;
        while (*end != ' ' && *end != '\0' && *end != '\n') ++end;
        if (end == at) return stat;
        if (field == 3) stat.state = *at;
        if (field == 22) stat.startTicks.assign(at, end);
        at = end;
    }
    stat.found = true;
    return stat;
}

std::string bootId() {
    char buffer[64];
    if (!readProc("sys/kernel/random/boot_id", buffer, sizeof buffer)) return {};
    std::string id = buffer;
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id;
}

std::string tokenOf(const ProcStat& stat) {
    return stat.found ? bootId() + "/" + stat.startTicks : std::string();
}

} // namespace

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(getpid()); }

std::string processStartToken() { return tokenOf(statOf(currentProcessId())); }

ProcessState processState(std::uint32_t pid, const std::string& startToken) {
    if (pid == 0) return ProcessState::Unknown;
    // No process has an id past pid_t's range; kill() would take it for a group.
    if (pid > 0x7FFFFFFFu) return ProcessState::Gone;
    const ProcStat stat = statOf(pid);
    if (!stat.found) {
        // Without /proc, only the id is left to go by.
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return ProcessState::Gone;
        return ProcessState::Unknown;
    }
    if (stat.state == 'Z' || stat.state == 'X') return ProcessState::Gone; // ended, not reaped
    if (startToken.empty()) return ProcessState::Unknown;
    return tokenOf(stat) == startToken ? ProcessState::Running : ProcessState::Gone;
}

} // namespace kov::platform

// Whether a process that wrote a crash mark still runs: its id, and its creation time, which
// tells that run from a later process given the same id.
#include "platform/win32/win32.h"

namespace kov::platform {
namespace {

std::string creationOf(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return {};
    const unsigned long long ticks =
        (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return std::to_string(ticks);
}

} // namespace

std::uint32_t currentProcessId() { return GetCurrentProcessId(); }

std::string processStartToken() { return creationOf(GetCurrentProcess()); }

ProcessState processState(std::uint32_t pid, const std::string& startToken) {
    if (pid == 0) return ProcessState::Unknown;
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr)
        return GetLastError() == ERROR_INVALID_PARAMETER ? ProcessState::Gone
                                                          : ProcessState::Unknown;
    ProcessState state = ProcessState::Unknown;
    DWORD code = 0;
    if (GetExitCodeProcess(process, &code) && code != STILL_ACTIVE)
        state = ProcessState::Gone;
    else if (const std::string created = creationOf(process); !created.empty() && !startToken.empty())
        state = created == startToken ? ProcessState::Running : ProcessState::Gone;
    CloseHandle(process);
    return state;
}

} // namespace kov::platform

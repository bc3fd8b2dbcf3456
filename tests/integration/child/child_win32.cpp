#include "integration/child/child_process.h"

#include "platform/win32/win32.h"

namespace kov::integration {

struct ChildProcess::State {
    PROCESS_INFORMATION process{};
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments)
    : state_(new State) {
    std::string line = "\"" + program + "\"";
    for (const std::string& a : arguments) line += " \"" + a + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &state_->process))
        state_->process = PROCESS_INFORMATION{};
}

ChildProcess::~ChildProcess() {
    kill();
    delete state_;
}

bool ChildProcess::started() const { return state_->process.hProcess != nullptr; }

bool ChildProcess::wait(unsigned milliseconds, int& exitCode, bool& crashed) {
    if (!started()) return false;
    if (WaitForSingleObject(state_->process.hProcess, milliseconds) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(state_->process.hProcess, &code);
    // An unhandled exception ends a process with its code: 0xC0000005, 0xC000001D, ...
    crashed = (code & 0xF0000000u) == 0xC0000000u;
    exitCode = static_cast<int>(code);
    CloseHandle(state_->process.hThread);
    CloseHandle(state_->process.hProcess);
    state_->process = PROCESS_INFORMATION{};
    return true;
}

void ChildProcess::kill() {
    if (!started()) return;
    TerminateProcess(state_->process.hProcess, 1);
    int code = 0;
    bool crashed = false;
    wait(INFINITE, code, crashed);
}

} // namespace kov::integration

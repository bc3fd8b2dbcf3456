#include "integration/child/child_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace kov::integration {

struct ChildProcess::State {
    pid_t pid = -1;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments)
    : state_(new State) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&state_->pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        state_->pid = -1;
}

ChildProcess::~ChildProcess() {
    kill();
    delete state_;
}

bool ChildProcess::started() const { return state_->pid > 0; }

bool ChildProcess::wait(unsigned milliseconds, int& exitCode, bool& crashed) {
    if (state_->pid <= 0) return false;
    for (unsigned waited = 0;; waited += 10) {
        int status = 0;
        const pid_t done = waitpid(state_->pid, &status, WNOHANG);
        if (done == state_->pid) {
            state_->pid = -1;
            crashed = WIFSIGNALED(status);
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        if (done < 0 || waited >= milliseconds) return false;
        const timespec tick{0, 10 * 1000 * 1000};
        nanosleep(&tick, nullptr);
    }
}

void ChildProcess::kill() {
    if (state_->pid <= 0) return;
    ::kill(state_->pid, SIGKILL);
    int status = 0;
    waitpid(state_->pid, &status, 0);
    state_->pid = -1;
}

} // namespace kov::integration

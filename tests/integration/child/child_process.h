// Another process for a test, which the test may end: a program started with its arguments, waited
// for, or killed, as a watchdog kills a program that hangs.
#pragma once

#include <string>
#include <vector>

namespace kov::integration {

class ChildProcess {
public:
    // Starts `program` with `arguments`; started() says whether it runs.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
    // Kills it if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const;
    // Waits up to `milliseconds` for it to end; true with how it ended: `exitCode` for an exit,
    // `crashed` for an end by a signal (POSIX) or an exception (Windows).
    bool wait(unsigned milliseconds, int& exitCode, bool& crashed);
    // Ends it at once, and waits for that.
    void kill();

private:
    struct State;
    State* state_;
};

} // namespace kov::integration

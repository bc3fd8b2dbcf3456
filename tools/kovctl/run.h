// The program for the words after its name: the commands that load no broker in this process,
// the others in a worker copy (or here, in the worker itself).
#pragma once

#include <string>
#include <vector>

namespace kovctl {

int runCommandLine(const std::vector<std::string>& words);

// How every run ends: a worker tells its parent that its work is done, and a call left running
// in the broker or a provider must not meet the module's teardown, so the process ends at once,
// with everything printed so far. Returns `exitCode` otherwise.
int finishProcess(int exitCode);

} // namespace kovctl

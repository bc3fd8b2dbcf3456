// Commands that run the broker do so in a worker: a copy of kovctl that shares the standard
// streams and does the whole command while this process waits. The broker loads every provider
// into the worker and calls them there; should one crash it, this process says which, and how.
#pragma once

#include "args.h"

#include <string>
#include <vector>

namespace kovctl {

// Runs the command of `words` (as parsed into `options`) in a worker; its exit code, or 4 with
// the provider at fault named when a crash ended the worker, or kNoWorker when no worker could
// be started (said on standard error).
constexpr int kNoWorker = -1;
int runInWorker(const Options& options, const std::vector<std::string>& words);

// The holder role: HANDLE [--module PATH] [--timeout MS]. Loads the broker as a worker would and
// reports the registry entry the provider with HANDLE came from.
int runHolder(const std::vector<std::string>& words);

} // namespace kovctl

// Libraries that crash or hang whatever loads them: found, named with how to take them out, and
// reported for a command whose broker died or stalled while it loaded its providers.
#pragma once

#include "registry_view.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kovctl {

// The library the broker in this process is stuck loading, from the loading mark it wrote
// (it becomes a crash record once this process ends). Without one (no crash marks where they
// can be written), every registered library that crashes or hangs a process loading it, each
// loaded again in a copy and given `timeoutMs`.
std::vector<CheckedEntry> findStalledLoad(std::uint32_t timeoutMs);
// The libraries the broker in the worker with process id `pid` was loading when it crashed by
// `cause`, from the crash records its loading marks became (the cause is added to them);
// without any, found by loading each again as findStalledLoad does.
std::vector<CheckedEntry> findCrashedLoad(std::uint32_t pid, const std::string& cause,
                                          std::uint32_t timeoutMs);

// What a broker that stopped answering while it loaded its providers is said to have done.
std::string stalledLoad(std::uint32_t timeoutMs);
// The same as one line: `what`, then each culprit with its key, path and reason.
std::string loadFaultLine(const std::string& what, const std::vector<CheckedEntry>& culprits);

// Reports a broker that could not load its providers: `what` happened, then the culprits (or,
// without any, that none was found), in one line, and a second line saying how to recover. With
// --json the error object adds `registry`, `loadFaults` (key, path, fault, reason, skipped each)
// and `recover`. Returns `exitCode`.
int reportLoadFault(int exitCode, const std::string& what, const std::vector<CheckedEntry>& culprits);

} // namespace kovctl

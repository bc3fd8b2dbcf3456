// The broker's crash records of the registry in use, for this user: what `list` and `registry`
// say of a library the broker skips, and what `enable` clears. They are read and cleared with the
// broker's own code (registry/crash_marks.h), which also turns the loading mark a crashed or
// killed process left into a record.
#pragma once

#include "args.h"

#include <string>

namespace kovctl {

// Why the broker skips the library `path` of `key` (a crash record), or empty when it does not.
std::string crashRecordReason(const std::string& key, const std::string& path);

// enable KEY [PATH]: clears the crash records of KEY (of its library PATH alone, when given).
int runEnable(const Options& options);

} // namespace kovctl

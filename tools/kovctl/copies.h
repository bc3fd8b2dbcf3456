// kovctl's copies of itself. Whatever loads provider libraries runs in a copy: a library that
// crashes or hangs takes down only the copy, and the parent names it. A copy is started with a
// hidden first word (its role) and talks back through a report channel, one JSON record a line.
#pragma once

#include "json.h"

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kovctl {

// The hidden first words; the report channel's name follows each.
constexpr const char* kProbeRole = "--internal-probe";   // PATH...: each library's verdict
constexpr const char* kWorkerRole = "--internal-worker"; // WORDS...: a command that runs the broker
constexpr const char* kHolderRole = "--internal-holder"; // HANDLE [--module PATH]: its registry entry
// No channel: the registry's provider keys, one a line, for the shell's completion.
constexpr const char* kKeysRole = "--internal-keys";

// Runs the role `words` start with (the words after the program's name); false when they start
// with none.
bool isRole(const std::vector<std::string>& words);
int runRole(const std::vector<std::string>& words);

// The program a copy runs: this one, unless a test names the built kovctl.
std::string helperProgram();
void setHelperProgram(const std::string& path);

using RecordHandler = std::function<void(const Json& record)>;

// Runs a copy in `role` with `arguments` (the channel is added), handing each record it sends to
// `onRecord` as it comes. `silenceMs`: how long it may go without a record (0: no limit). The
// copy's output goes to this process's standard error when `outputToError`.
kov::platform::ChildEnd runCopy(const char* role, const std::vector<std::string>& arguments,
                                std::uint32_t silenceMs, bool outputToError,
                                const RecordHandler& onRecord);

// In a copy: takes the channel its parent named, sends the first record, and makes a crash end
// the copy at once by its signal or exception code. False for a channel that is none.
bool beginCopy(const std::string& channel);
// Texts in records travel as hex: a path in the system's code page need not be UTF-8, and JSON
// would change it.
std::string packText(const std::string& text);
std::string unpackText(const Json& record, const char* member);

// Sends one record to the parent; nothing in a process that is no copy.
void sendRecord(const Json& record);
bool isCopy();

} // namespace kovctl

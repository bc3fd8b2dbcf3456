// The values of kovctl's options: numbers, versions, hex and text payloads, payload files.
#pragma once

#include "args.h"

#include <string>

namespace kovctl {

// Applies option `name` (as "--set") with its value to `options`; false with `error` set when the
// value is unusable. `payloadGiven` says whether a payload option came before.
bool applyOption(const std::string& name, const std::string& value, Options& options,
                 bool& payloadGiven, std::string& error);

// Reads the payload of --file into the request (from standard input for "-"); false with `error`
// set when it cannot be read or holds more than 64 MiB.
bool readPayloadFile(Options& options, std::string& error);

// Whether --pid, --count, --interval, --once and --clean stand with a command they belong to.
bool observeOptionsFit(const Options& options, std::string& error);

} // namespace kovctl

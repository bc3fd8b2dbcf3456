// A look at the registry before the broker reads it, and words for what can be wrong with it.
#pragma once

#include <cstdint>
#include <string>

namespace kovctl {

// False, with `problem` set, when the registry exists but cannot serve as one (a file that is no
// registry database, a folder, a setting that names none, one this process may not read), or
// when another process keeps it locked for longer than `timeoutMs`: after about a second kovctl
// says on stderr that it is waiting. A registry nobody has written yet is usable. Later registry
// calls of kovctl's own wait at most `timeoutMs` too.
bool registryUsable(std::uint32_t timeoutMs, std::string& problem);

enum class Layer;

// The registry by name, for messages: its file on Linux, the broker's key on Windows; the
// machine's unless `layer` names the user's.
std::string registryName();
std::string registryName(Layer layer);

// One line on what registry error `rc` means, naming the registry.
std::string registryProblem(long rc);
std::string registryProblem(long rc, Layer layer);

// Why this process may not change the registry, naming it; empty when it may. Registration and
// removal need that right; loading does not.
std::string writeAccessProblem();
std::string writeAccessProblem(Layer layer);

// One line for a registry that does not exist at all, naming it.
std::string missingRegistry();

} // namespace kovctl

// Provider libraries checked the broker's way in copies of kovctl: a library that crashes the
// copy, or keeps it busy past the time-out, is named so, and the libraries after it are still
// checked.
#pragma once

#include "registry_view.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kovctl {

// One verdict per path, in order. Each library may take `timeoutMs` to load and describe itself.
std::vector<LibraryCheck> checkLibraries(const std::vector<std::string>& paths,
                                         std::uint32_t timeoutMs);

// The copy's side: checks each of `paths` in this process and reports each verdict.
int runProbe(const std::vector<std::string>& paths);

} // namespace kovctl

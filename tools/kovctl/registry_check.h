// A look at the registry before the broker reads it.
#pragma once

#include <string>

namespace kovctl {

// False, with `problem` set, when the registry exists but cannot serve as one (a file that is no
// registry database, a setting that names none). A registry nobody has written yet is usable.
bool registryUsable(std::string& problem);

} // namespace kovctl

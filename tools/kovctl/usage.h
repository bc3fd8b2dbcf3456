// The --help texts.
#pragma once

#include "args.h"

namespace kovctl {

// The help of one command, or of the whole tool for Command::None.
const char* usageText(Command command);

} // namespace kovctl
